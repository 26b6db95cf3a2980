#!/usr/bin/env bash
# Network places through orxhost, on the fixtures ORXHOST_HOME/network/<server>/<share>: servers,
# shares and the files in them, refused edits, and a share whose reads block: ls still answers,
# names the share on standard error and exits with 3.
# Usage: network.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

net="$home/network"
mkdir -p "$net/srv/media/sub" "$net/srv/slow" "$net/other/docs"
printf 'hello' > "$net/srv/media/readme.txt"
printf 'old' > "$net/srv/slow/file"

names() { awk 'NR == 1 { w = index($0, "TYPE") - 1 } NR > 1 { n = substr($0, 1, w); sub(/ +$/, "", n); sub(/\/$/, "", n); print n }'; }

got=$(run ls network:/ | names | paste -sd, -) || err "ls network:/ exited with $?"
[ "$got" = "other,srv" ] || err "servers: $got"
got=$(run ls network://srv | names | paste -sd, -)
[ "$got" = "media,slow" ] || err "shares: $got"
got=$(run ls network://srv/media | names | paste -sd, -)
[ "$got" = "sub,readme.txt" ] || err "share entries: $got"

json=$(run ls --json network://srv/media) || err "ls --json exited with $?"
if command -v python3 >/dev/null; then
  printf '%s' "$json" | python3 -c '
import json, sys
rows = {r["name"]: r for r in json.load(sys.stdin)}
assert rows["readme.txt"]["url"] == "network://srv/media/readme.txt", rows
assert rows["readme.txt"]["size"] == 5 and rows["sub"]["folder"] is True, rows
' || err "ls --json is not the expected JSON"
fi

run rm network://srv/media/readme.txt >/dev/null 2>&1 && err "rm of a file in a share succeeded"
[ -f "$net/srv/media/readme.txt" ] || err "rm removed a file in a share"
run mkdir network://srv/media new >/dev/null 2>&1 && err "mkdir in a share succeeded"

# A share whose reads block: ls answers after its time limit and says which share it was.
start=$(date +%s)
ORXHOST_HOLD_LISTING="$net/srv/slow" run ls network:/ >"$home/out" 2>"$home/err"
rc=$?
took=$(( $(date +%s) - start ))
cat "$home/out" "$home/err"
[ $rc -eq 3 ] || err "ls network:/ with a blocking share exited with $rc, not 3"
grep -q "srv/slow" "$home/err" || err "the share that did not answer is not named"
[ "$(names < "$home/out" | paste -sd, -)" = "other,srv" ] || err "servers not listed while a share blocks"
[ $took -lt 100 ] || err "ls took $took s"
ORXHOST_HOLD_LISTING="$net/srv/slow" run ls network://srv/slow >"$home/out" 2>"$home/err"
rc=$?
[ $rc -eq 3 ] || err "ls of the blocking share exited with $rc, not 3"
grep -q "srv/slow" "$home/err" || err "ls of the blocking share does not name it"
run ls network://srv/slow | names | grep -qx file || err "the share lists once it answers"
run ls network://nowhere >/dev/null 2>&1 && err "ls of a missing server succeeded"
exit $fail
