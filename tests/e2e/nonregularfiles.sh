#!/usr/bin/env bash
# Pipes among the library files: orxhost starts, lists and ends as if they were not there.
# Usage: nonregularfiles.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

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

# The host's file service through orxhost file.
d="$home/files"
mkdir -p "$d" && mkfifo "$d/pipe" && printf 'data' > "$d/a" || err "setup"
out=$(timeout 60 "$host" file cat "$d/pipe" 2>&1)
rc=$?
[ $rc -eq 124 ] && err "file cat hung on a pipe"
[ $rc -eq 1 ] || err "file cat of a pipe exited with $rc"
printf '%s\n' "$out" | grep -q 'not a regular file' || err "file cat of a pipe: unclear message: $out"
timeout 60 "$host" file ls --json "$d" | grep -q '"kind": "special"' || err "file ls does not mark the pipe"
[ "$(timeout 60 "$host" file cat "$d/a")" = data ] || err "file cat of a file"
timeout 60 "$host" file cp --overwrite "$d/a" "$d/./a" 2>/dev/null && err "file cp onto itself answered success"
[ "$(cat "$d/a")" = data ] || err "file cp onto itself emptied the file"
printf 'other' > "$d/b"
timeout 60 "$host" file mv "$d/a" "$d/b" 2>/dev/null && err "file mv replaced a file"
[ "$(cat "$d/b")" = other ] || err "file mv replaced b"
timeout 60 "$host" file mkdir "$d/new" || err "file mkdir of a new folder"
timeout 60 "$host" file mkdir "$d/new" 2>/dev/null && err "file mkdir of an existing folder answered success"
# Names that are not UTF-8: deleting one leaves the other.
printf 1 > "$d/caf$(printf '\351')" && printf 2 > "$d/caf$(printf '\350')" || err "setup of names"
timeout 60 "$host" file rm "$d/caf$(printf '\351')" || err "file rm of a name that is not UTF-8"
[ -e "$d/caf$(printf '\351')" ] && err "the name was not deleted"
[ -e "$d/caf$(printf '\350')" ] || err "the other name was deleted"
timeout 60 "$host" file ls --json "$d" | grep -q '"bytes": "636166e8"' || err "file ls does not give the bytes of the name"
exit $fail
