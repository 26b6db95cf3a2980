#!/usr/bin/env bash
# Browsing real folders through orxhost: the volumes under file:/, a folder's entries as the system
# has them (exact names, links and pipes listed, dot names hidden), JSON, and clear failures.
# Usage: files.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

data="$home/volumes/data"
mkdir -p "$data/sub" "$data/Docs"
printf 'hello' > "$data/Readme"
printf 'x' > "$data/.hidden"
ln -s . "$data/loop"
mkfifo "$data/pipe"
base="file://localhost$data"

out=$(run ls file:/) || err "ls file:/ exited with $?"
echo "$out"
printf '%s\n' "$out" | grep -q "^$data \[data\]/ " || err "ls file:/ does not list the volume"

names() { awk 'NR == 1 { w = index($0, "TYPE") - 1 } NR > 1 { n = substr($0, 1, w); sub(/ +$/, "", n); sub(/\/$/, "", n); print n }'; }
out=$(run ls "$base") || err "ls $base exited with $?"
echo "$out"
got=$(printf '%s\n' "$out" | names | paste -sd, -)
[ "$got" = "Docs,loop,sub,pipe,Readme" ] || err "entries: $got"

json=$(run ls --json "$base") || err "ls --json exited with $?"
echo "$json"
if command -v python3 >/dev/null; then
  printf '%s' "$json" | BASE="$base" python3 -c '
import json, os, sys
rows = {r["name"]: r for r in json.load(sys.stdin)}
assert set(rows) == {"Docs", "loop", "sub", "pipe", "Readme"}, rows
assert rows["Readme"]["size"] == 5 and rows["Readme"]["folder"] is False, rows
assert rows["sub"]["folder"] is True, rows
assert rows["Readme"]["url"] == os.environ["BASE"] + "/Readme", rows
' || err "ls --json is not the expected JSON"
fi

# The empty-host form other programs write lists the same folder.
got3=$(run ls "file://$data" | names | paste -sd, -)
[ "$got3" = "$got" ] || err "file://$data lists '$got3', not '$got'"

# Names are exact: README is not Readme, docs is not Docs.
run ls "$base/README" >/dev/null 2>&1 && err "README resolved to another name"
run ls "$base/docs" >/dev/null 2>&1 && err "docs resolved to Docs"
run ls "$base/Docs" >/dev/null || err "ls of Docs failed"
# A link to "." lists the folder once, never deeper by itself.
run ls "$base/loop" >/dev/null || err "ls of the link failed"

# Edits through the published table: phase 0 first, clear refusals, non-zero exit on failure.
run mkdir "$base" made >/dev/null || err "mkdir failed"
[ -d "$data/made" ] || err "mkdir made no folder"
run mkdir "$base" made >/dev/null 2>"$home/err" && err "mkdir of a taken name succeeded"
grep -q "new folder refused" "$home/err" || err "mkdir refusal is not clear: $(cat "$home/err")"
run cp "$base/Readme" "$base/made" >/dev/null || err "cp failed"
[ "$(cat "$data/made/Readme")" = hello ] || err "cp copied the wrong bytes"
run cp "$base/Readme" "$base/made" >/dev/null 2>&1 && err "cp onto a taken name succeeded"
run cp "$base/sub" "$base/sub" >/dev/null 2>&1 && err "cp of a folder into itself succeeded"
run mv "$base/made/Readme" "$base/sub" >/dev/null || err "mv failed"
[ -f "$data/sub/Readme" ] && [ ! -e "$data/made/Readme" ] || err "mv did not move"
run rename "$base/sub/Readme" Readme2 >/dev/null || err "rename of a file failed"
run rename "$base/sub/Readme2" ../x >/dev/null 2>&1 && err "rename to a path succeeded"
run rm "$base/loop" >/dev/null || err "rm of a link failed"
[ -d "$data" ] && [ -f "$data/Readme" ] || err "rm of a link to . touched the folder"
run rm "$base/made" >/dev/null || err "rm of a folder failed"
[ -e "$data/made" ] && err "rm left the folder"
run rm "$base" >/dev/null 2>"$home/err" && err "rm of a volume succeeded"
grep -q "delete refused" "$home/err" || err "rm refusal is not clear: $(cat "$home/err")"
[ -f "$data/Readme" ] || err "the volume was emptied"
# Progress is drawn only on a terminal: piped or redirected, stderr stays empty and stdout holds the
# one result line, with no carriage returns or escapes from the progress line.
mkdir -p "$data/tree/a/b"
for i in 1 2 3 4 5; do head -c 3000 /dev/zero > "$data/tree/a/f$i"; done
run cp "$base/tree" "$base/sub" >"$home/out" 2>"$home/err" || err "cp of a tree failed: $(cat "$home/err")"
[ -s "$home/err" ] && err "cp wrote to a non-terminal stderr: $(od -c "$home/err" | head -3)"
[ "$(wc -l < "$home/out")" = 1 ] && ! grep -q $'[\r\033]' "$home/out" || err "cp output is not one clean line"
run rm "$base/sub/tree" >"$home/out" 2>"$home/err" || err "rm of a tree failed"
[ -s "$home/err" ] && err "rm wrote to a non-terminal stderr: $(cat "$home/err")"
# On a terminal the bar ends full, with the items and bytes the walk counted (8 items, 15000 bytes).
if command -v script >/dev/null; then
  tty=$(ORX_CMD="$host --module $module cp $base/tree $base/sub" script -qec 'sh -c "$ORX_CMD"' /dev/null 2>&1 </dev/null) ||
    err "cp on a terminal failed: $tty"
  printf '%s' "$tty" | grep -q '\[#\{30\}\] 100%  8/8 items  14.6 KiB/14.6 KiB' || err "no full progress bar on a terminal: $tty"
  run rm "$base/sub/tree" >/dev/null 2>&1 || err "rm of the copied tree failed"
fi
for c in mkdir mv cp rm; do run "$c" --help | grep -q "^usage: orxhost $c" || err "$c --help"; done

# Pipelines read the outcome of an edit as one JSON object, refusals included.
out=$(run cp --json "$base/tree" "$base/sub" 2>/dev/null) || err "cp --json failed"
echo "$out" | grep -q '^{"ok":true,"command":"cp",.*"items":[1-9]' || err "cp --json printed: $out"
out=$(run cp --json "$base/tree" "$base/sub" 2>/dev/null) && err "cp --json onto a taken name succeeded"
echo "$out" | grep -q '"ok":false.*"code":"0x80000004"' || err "cp --json refusal printed: $out"
out=$(run rm --json "$base/sub/tree" 2>/dev/null) || err "rm --json failed"
echo "$out" | grep -q '^{"ok":true,"command":"rm"' || err "rm --json printed: $out"
if command -v python3 >/dev/null; then
  echo "$out" | python3 -c 'import json,sys; json.load(sys.stdin)' || err "rm --json is not JSON: $out"
fi
exit $fail
