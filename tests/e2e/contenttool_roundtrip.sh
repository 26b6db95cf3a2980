#!/usr/bin/env bash
# The demo library through the content tool and back: export, build, export again. The two trees
# are the same, name for name and byte for byte (the logs name other paths and are left out).
# Usage: contenttool_roundtrip.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

run demo >/dev/null || err "demo exited with $?"
lib=$(find "$home" -name demo.libqz | head -n 1)
[ -n "$lib" ] || err "the demo library file is not found"
libs=$(dirname "$lib")

mkdir -p "$home/one" "$home/two" "$home/built"
out=$(run export-library preset://demo.libqz "$home/one/rt" 2>&1) || err "the first export failed: $out"
out=$(run build-library "$home/one/rt.cbinfo" "$home/built/rt.libqz" 2>&1) || err "the build failed: $out"
grep -q '^0 errors' "$home/built/error_log.txt" || err "the build logged errors: $(cat "$home/built/error_log.txt")"
# Beside the demo, so that the host finds it as preset://rt.libqz.
mv "$home/built/rt.libqz" "$libs/rt.libqz" || err "the built library cannot be put beside the demo"
out=$(run export-library preset://rt.libqz "$home/two/rt" 2>&1) || err "the second export failed: $out"

cmp -s "$home/one/rt.cbinfo" "$home/two/rt.cbinfo" || err "the library descriptions differ"
diff -r -x error_log.txt -x operation_log.txt "$home/one/rt" "$home/two/rt" >&2 || err "the exported trees differ"
[ "$(find "$home/one/rt" -type f | wc -l)" -ge 20 ] || err "the first export holds too few files"
for d in one two; do
  [ "$(cat "$home/$d/rt/error_log.txt")" = "0 errors" ] || err "export $d logged errors: $(cat "$home/$d/rt/error_log.txt")"
done
exit $fail
