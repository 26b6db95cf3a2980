#!/usr/bin/env bash
# Pipes among the library files: orxhost starts, lists and ends as if they were not there.
# Usage: specialfiles.sh <orxhost> <browser.so>
set -u
host=$1
module=$2
fail=0
err() { echo "FAIL: $*" >&2; fail=1; }

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export ORXHOST_HOME="$home"
run() { timeout 120 "$host" --module "$module" "$@"; }

run demo >/dev/null || err "demo exited with $?"
mkfifo "$home/userlibrary/browser/trap.libqz" || err "mkfifo"
mkdir -p "$home/extra" && mkfifo "$home/extra/trap.libqz" || err "mkfifo"
export ORX_BROWSERLIBS="$home/extra"

out=$(run ls preset:/)
rc=$?
[ $rc -eq 124 ] && err "ls preset:/ hung on a pipe"
[ $rc -eq 0 ] || err "ls preset:/ exited with $rc"
printf '%s\n' "$out" | grep -q '^Demo/ ' || err "ls preset:/ does not list the demo library: $out"
run --quiet
rc=$?
[ $rc -eq 124 ] && err "start and end hung on a pipe"
[ $rc -eq 0 ] || err "run exited with $rc"
exit $fail
