#!/usr/bin/env bash
# Browsing through orxhost: the demo library is made, listed in every order, its data printed byte
# for byte; bad input gives a clear message and a non-zero exit.
# Usage: browse.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"
# A trace must not leak into the output of the browse commands.
export ORX_BROWSER_TRACE=1

out=$(run demo) || err "demo exited with $?"
echo "$out"
[ -f "$home/userlibrary/browser/demo.libqz" ] || err "demo.libqz was not written"
for shot in Red Cube; do
  f="$home/userlibrary/browser/demo previews/$shot.png"
  [ "$(head -c 8 "$f" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || err "demo wrote no preview picture $shot.png"
done

# The library shows below the preset root, by its shown name.
out=$(run ls preset:/) || err "ls preset:/ exited with $?"
echo "$out"
printf '%s\n' "$out" | grep -q '^Demo/ ' || err "ls preset:/ does not list the demo library"
printf '%s\n' "$out" | grep -q 'trace' && err "ls output carries trace lines"

# The NAME column of the table, without the "/" that marks folders.
names() { awk 'NR == 1 { w = index($0, "TYPE") - 1 } NR > 1 { n = substr($0, 1, w); sub(/ +$/, "", n); sub(/\/$/, "", n); print n }'; }
folder='preset://demo.libqz/Materials'

out=$(run ls "$folder") || err "ls $folder exited with $?"
echo "$out"
got=$(printf '%s\n' "$out" | names | paste -sd, -)
[ "$got" = "Metals,Oak,Red Plastic" ] || err "name order: $got"

got=$(run ls --sort size "$folder" | names | paste -sd, -)
[ "$got" = "Metals,Oak,Red Plastic" ] || err "size order: $got"

got=$(run ls --sort size 'preset://demo.libqz/Objects' | names | paste -sd, -)
[ "$got" = "Sphere,Torus,Cube" ] || err "size order of objects: $got"

got=$(run ls --sort none 'preset://demo.libqz' | names | paste -sd, -)
[ "$got" = "Materials,Objects,Render Settings,Scene,Read Me" ] || err "tree order: $got"

# Letter case does not matter in URLs.
got=$(run ls 'PRESET://DEMO.LIBQZ/materials/metals' | names | paste -sd, -)
[ "$got" = "Brushed Steel,Gold" ] || err "case-blind lookup: $got"

json=$(run ls --json "$folder") || err "ls --json exited with $?"
echo "$json"
if command -v python3 >/dev/null; then
  printf '%s' "$json" | python3 -c '
import json, sys
rows = json.load(sys.stdin)
assert [r["name"] for r in rows] == ["Metals", "Oak", "Red Plastic"], rows
assert rows[0]["folder"] is True and rows[1]["folder"] is False, rows
assert rows[1]["size"] == 48, rows
assert rows[1]["url"] == "preset://demo.libqz/Materials/Oak", rows
' || err "ls --json is not the expected JSON"
fi

# cat: the item's data exactly.
expected="$home/expected"
printf 'object "Cube"\n  size 200 200 200\n  segments 1 1 1\n' >"$expected"
run cat 'preset://demo.libqz/Objects/Cube' >"$home/got" || err "cat exited with $?"
cmp -s "$expected" "$home/got" || err "cat output differs from the item's data"

out=$(run info 'preset://demo.libqz/Read Me') || err "info exited with $?"
echo "$out"
printf '%s\n' "$out" | grep -q '^annotation: What this library is for.$' || err "info lacks the annotation"

# Running demo again leaves one library with the same content.
run demo >/dev/null || err "second demo exited with $?"
got=$(run ls preset:/ | grep -c '^Demo/ ')
[ "$got" = 1 ] || err "demo library listed $got times after a second demo"
run cat 'preset://demo.libqz/Objects/Cube' | cmp -s "$expected" - || err "cat differs after a second demo"

# Bad input.
for cmd in "ls preset://demo.libqz/Missing" "info preset://nowhere" "cat preset://demo.libqz/Materials" \
           "cat preset://demo.libqz/Missing"; do
  # shellcheck disable=SC2086
  stdout=$(run $cmd 2>"$home/stderr")
  rc=$?
  [ "$rc" -ne 0 ] || err "'$cmd' exited with 0"
  [ -z "$stdout" ] || err "'$cmd' wrote to standard output: $stdout"
  grep -q '^orxhost ' "$home/stderr" || err "'$cmd' gave no message"
done
run ls >/dev/null 2>&1 && err "ls without a URL exited with 0"
run ls --sort sideways preset:/ >/dev/null 2>&1 && err "an unknown sort order was accepted"

for cmd in ls info cat demo; do
  out=$(run "$cmd" --help) || err "$cmd --help exited with $?"
  printf '%s\n' "$out" | grep -q "^usage: orxhost $cmd" || err "$cmd --help shows no usage"
done
run --help | grep -q '  ls URL' || err "orxhost --help does not list the browse commands"

exit $fail
