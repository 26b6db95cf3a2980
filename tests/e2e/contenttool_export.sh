#!/usr/bin/env bash
# orxhost export-library: the demo library written as a tree, the log paths told at the end, JSON,
# help, and failures that exit non-zero (a destination that is a file, a library that is not there).
# Usage: contenttool_export.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

run demo >/dev/null || err "demo exited with $?"
run export-library --help | grep -q "usage: orxhost export-library" || err "export-library --help"

out=$(run export-library preset://demo.libqz "$home/Demo.libqz") || err "export-library exited with $?: $out"
printf '%s' "$out" | grep -q "Library export successfully (0 errors)" || err "no success message: $out"
printf '%s' "$out" | grep -q "error log: $home/Demo/error_log.txt" || err "the error log is not told: $out"
printf '%s' "$out" | grep -q "operation log: $home/Demo/operation_log.txt" || err "the operation log is not told: $out"
[ -f "$home/Demo.cbinfo" ] || err "no description of the library"
head -c 5 "$home/Demo.cbinfo" | grep -q '<?xml' || err "the library description is no XML file"
[ "$(find "$home/Demo" -name '*.cbinfo' | wc -l)" -ge 2 ] || err "no descriptions of the demo's presets"
[ "$(tail -n 1 "$home/Demo/error_log.txt")" = "0 errors" ] || err "the error log does not end with its count"
find "$home/Demo" -name '*.tmp-*' | grep -q . && err "temporary files were left behind"

# A second export over the first replaces its files and keeps the old logs.
json=$(run export-library --json preset://demo.libqz "$home/Demo") || err "export-library --json exited with $?: $json"
printf '%s' "$json" | grep -q '"ok": true' || err "second export: $json"
printf '%s' "$json" | grep -q "\"error_log\": \"$home/Demo/error_log.txt\"" || err "no error_log in: $json"
[ -f "$home/Demo/error_log.txt.bak" ] || err "the older error log was not kept"

printf 'a file' >"$home/taken"
json=$(run export-library --json preset://demo.libqz "$home/taken")
[ $? -eq 1 ] || err "a destination that is a file did not fail with 1"
printf '%s' "$json" | grep -q '"message": "Creating the root folder failed."' || err "destination is a file: $json"
[ "$(cat "$home/taken")" = "a file" ] || err "the file at the destination changed"

run export-library preset://missing.libqz "$home/M" 2>/dev/null
[ $? -eq 1 ] || err "a library that is not there did not fail with 1"
run export-library preset://demo.libqz 2>/dev/null
[ $? -eq 2 ] || err "a missing destination is not an argument error"
exit $fail
