#!/usr/bin/env bash
# orxhost info and preview on files made by other tools, and on files that hold no picture.
# Usage: previews.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

if ! command -v convert >/dev/null; then
  echo "SKIP: convert is not installed"
  exit 0
fi
# Folders are reached through the volumes under ORXHOST_HOME.
d="$home/volumes/pictures"
mkdir -p "$d" || err "setup"
convert -size 800x600 xc:'rgb(10,120,240)' -quality 92 "$d/photo.jpg" || err "convert"
convert -size 40x30 xc:red png:"$d/upper.PNG" || err "convert"
head -c 3000 "$d/photo.jpg" > "$d/cut.jpg"
mkfifo "$d/pipe.png"

out=$(run info "file://localhost$d/photo.jpg") || err "info exited with $?"
printf '%s\n' "$out" | grep -q '^type: *Image$' || err "info: no type: $out"
printf '%s\n' "$out" | grep -q '^format: *JPEG Image$' || err "info: no format: $out"
printf '%s\n' "$out" | grep -q '^handler: *Images (1018021)$' || err "info: no handler: $out"
# Matched by its content only: the quick match compares suffixes exactly.
run info --json "file://localhost$d/upper.PNG" | grep -q '"handlerId": 1018021' || err "info --json of upper.PNG"

run preview "file://localhost$d/photo.jpg" --size 256 -o "$d/out.png" >/dev/null || err "preview exited with $?"
if command -v identify >/dev/null; then
  [ "$(identify -format '%w %h' "$d/out.png")" = "256 192" ] || err "preview size: $(identify "$d/out.png")"
fi
out=$(run preview --json "file://localhost$d/upper.PNG" -o "$d/small.png") || err "preview of upper.PNG"
printf '%s\n' "$out" | grep -q '"width": 40, "height": 30' || err "a small picture was resized: $out"

for f in cut.jpg pipe.png; do
  run preview "file://localhost$d/$f" -o "$d/x.png" 2>/dev/null
  rc=$?
  [ $rc -eq 124 ] && err "preview of $f hung"
  [ $rc -eq 1 ] || err "preview of $f exited with $rc"
done
run preview "file://localhost$d/photo.jpg" 2>/dev/null && err "preview without -o answered success"
run preview --size 0 -o "$d/x.png" "file://localhost$d/photo.jpg" 2>/dev/null && err "preview --size 0 answered success"
run preview --help | grep -q 'usage: orxhost preview' || err "preview --help"
[ -e "$d/x.png" ] && err "a failed preview wrote a file"
exit $fail
