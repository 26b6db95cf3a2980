#!/usr/bin/env bash
# orxhost preview show: the preview dialog of a preset and of a picture, opened through their
# handlers; fields, picture, the page answered, and which handlers keep an edited annotation.
# Usage: preview_dialog.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

if ! command -v jq >/dev/null; then
  echo "SKIP: jq is not installed"
  exit 0
fi
run demo >/dev/null || err "demo exited with $?"
red="preset://demo.libqz/Scene/Red"

out=$(run preview show --json --page 65539 -o "$home/red.png" "$red") || err "preview show exited with $?"
echo "$out"
[ "$(jq -r .ok <<<"$out")" = true ] || err "not ok"
[ "$(jq -r '.fields["10087"]' <<<"$out")" = Red ] || err "the name field is not the preset's name"
[ "$(jq -r '.fields["10088"]' <<<"$out")" = "Material Preset" ] || err "the second field is not the type name"
[ "$(jq -r .answered <<<"$out")" = 65539 ] || err "the page opened at is not the one answered"
[ "$(jq -r .picture.width <<<"$out")" = 256 ] || err "no picture written"
[ -s "$home/red.png" ] || err "the picture file is empty"

# Presets drop an edit when their dialog is closed; image files keep it.
before=$(run preview show --json "$red" | jq -r '.fields["10114"]')
run preview show --annotation "changed" "$red" >/dev/null || err "preview show --annotation exited with $?"
after=$(run preview show --json "$red" | jq -r '.fields["10114"]')
[ "$before" = "$after" ] || err "the preset's annotation changed on close: '$before' became '$after'"

mkdir -p "$home/volumes/pics"
run preview -o "$home/volumes/pics/ball.png" "$red" >/dev/null || err "preview -o exited with $?"
ball="file://localhost$home/volumes/pics/ball.png"
run preview show --annotation "a red ball" "$ball" >/dev/null || err "preview show of a picture exited with $?"
out=$(run preview show --json --destroy --page 2 "$ball") || err "preview show --destroy exited with $?"
[ "$(jq -r '.fields["10114"]' <<<"$out")" = "a red ball" ] || err "the picture's annotation was not kept"
[ "$(jq -r .answered <<<"$out")" = 2 ] || err "--destroy did not answer the page"
[ "$(jq -r .ended <<<"$out")" = destroyed ] || err "not destroyed"

# Several items: the summary counts them and the folders among them.
out=$(run preview show --json -o "$home/multi.png" "$red" "preset://demo.libqz/Scene" "$ball") ||
  err "preview show of several items exited with $?"
echo "$out"
[ "$(jq -r .text <<<"$out")" = "3 items selected, 1 of them folders" ] || err "the summary miscounts"
[ -s "$home/multi.png" ] || err "no summary picture"
run preview show --destroy "$red" "$ball" 2>/dev/null && err "--destroy with several items is refused"

run preview show "$red/nothing" 2>/dev/null && err "missing content is a failure"
run preview show --page 3 "$red" 2>/dev/null && err "--page 3 is refused"
run preview show --help | grep -q '^usage: orxhost preview show' || err "no help"
exit $fail
