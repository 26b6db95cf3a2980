#!/usr/bin/env bash
# orxhost build-library: a small description tree made into a library, the bar on a terminal, the
# log paths, --json, a taken target refused, a tree with a link and a pipe built with the problems
# logged, and a non-zero exit on failure.
# Usage: build_library.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

w="$home/work"
mkdir -p "$w/Lib/Cubes"
x='<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
desc() { printf '%s\r\n<item %s>\r\n\t<name>\r\n\t\t<string>%s</string>\r\n\t</name>\r\n%s</item>\r\n' "$x" "$1" "$2" "${3:-}"; }
desc type=library Lib > "$w/Lib.cbinfo"
desc type=folder Cubes > "$w/Lib/Cubes.cbinfo"
desc type=basematerial Red > "$w/Lib/Cubes/Red.orx.cbinfo"
printf 'red' > "$w/Lib/Cubes/Red.orx"

run build-library --help | grep -q 'TARGET.new' || err "build-library --help says nothing of the working file"
run build-library 2>/dev/null && err "build-library without arguments succeeded"

out=$(run build-library --json "$w/Lib.cbinfo" "$w/lib.libqz" 2>/dev/null) || err "the build failed: $out"
echo "$out" | grep -q '"ok": true, "command": "build-library".*"errors": 0' || err "build-library --json printed: $out"
echo "$out" | grep -q "\"error_log\": \"$w/error_log.txt\"" || err "no error log path: $out"
[ -s "$w/lib.libqz" ] || err "no library was written"
[ -e "$w/lib.libqz.new" ] && err "the working file was left"
grep -q '^0 errors' "$w/error_log.txt" || err "the error log does not end with its count"

# A taken target is refused and left as it was.
cksum "$w/lib.libqz" > "$home/before"
run build-library "$w/Lib" "$w/lib.libqz" >/dev/null 2>"$home/err" && err "a build onto an existing library succeeded"
grep -q 'exists already' "$home/err" || err "the refusal does not say why: $(cat "$home/err")"
cksum "$w/lib.libqz" | cmp -s - "$home/before" || err "the existing library was changed"

# On a terminal the bar is shown; the log paths are printed at the end.
if command -v script >/dev/null; then
  tty=$(ORX_CMD="$host --module $module build-library $w/Lib $w/tty.libqz" script -qec 'sh -c "$ORX_CMD"' /dev/null 2>&1 </dev/null) ||
    err "build-library on a terminal failed: $tty"
  # The dialog's bar (the host's terminal front end erases it when the dialog closes).
  printf '%s' "$tty" | grep -q 'Build Preset Library \[' || err "no bar: $tty"
  printf '%s' "$tty" | grep -q "error log: $w/error_log.txt" || err "no log path at the end: $tty"
fi

# Links and pipes are skipped and logged; the run fails, but the library is kept.
ln -s /etc "$w/Lib/etc"
desc type=folder etc > "$w/Lib/etc.cbinfo"
mkfifo "$w/Lib/x.cbinfo"
out=$(run build-library --json "$w/Lib" "$w/hostile.libqz" 2>/dev/null) && err "a build with errors succeeded: $out"
echo "$out" | grep -q '"ok": false.*"errors": [1-9]' || err "build-library --json printed: $out"
grep -q "etc: it is a link" "$w/error_log.txt" || err "the link is not in the error log"
grep -q "x.cbinfo: it is not a regular file" "$w/error_log.txt" || err "the pipe is not in the error log"
exit $fail
