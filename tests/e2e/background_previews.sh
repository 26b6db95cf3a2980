#!/usr/bin/env bash
# orxhost previews over a folder of pictures: every picture gets a stored preview that ls shows, a
# second run renders nothing, a changed picture is rendered again, --force renders all.
# Usage: background_previews.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

if ! command -v convert >/dev/null || ! command -v jq >/dev/null; then
  echo "SKIP: convert or jq is not installed"
  exit 0
fi
d="$home/volumes/photos"
mkdir -p "$d/sub" || err "setup"
colours=(red green blue orange purple gray teal olive navy maroon)
for i in $(seq 0 9); do
  convert -size $((200 + i * 40))x$((150 + i * 10)) xc:"${colours[$i]}" -quality 90 "$d/base$i.jpg" || err "convert"
done
for i in $(seq 10 199); do
  cp "$d/base$((i % 10)).jpg" "$d/photo$i.jpg"
done
convert -size 60x40 xc:red "$d/sub/small.png" || err "convert"
printf 'not a picture' > "$d/notes.txt"
base="file://localhost$d"

out=$(run previews --json "$base") || err "previews exited with $?"
echo "$out"
[ "$(jq -r .ok <<<"$out")" = true ] || err "previews did not report ok"
[ "$(jq -r .stored <<<"$out")" = 200 ] || err "200 previews expected"
[ "$(jq -r .total <<<"$out")" = 201 ] || err "the 200 pictures and the text file are looked at"

listing=$(run ls --json "$base") || err "ls exited with $?"
with=$(jq '[.[] | select(.name | endswith(".jpg")) | select(.preview != null and .preview.count >= 1)] | length' <<<"$listing")
[ "$with" = 200 ] || err "ls shows a preview for $with of 200 pictures"
jq -e '.[] | select(.name == "base9.jpg") | .preview | .width == 256 and (.height == 109 or .height == 110)' <<<"$listing" >/dev/null ||
  err "base9.jpg (560 x 240) is not fitted into 256 x 256 keeping its aspect: $(jq -c '.[] | select(.name == "base9.jpg") | .preview' <<<"$listing")"
jq -e '.[] | select(.name == "notes.txt") | .preview == null' <<<"$listing" >/dev/null || err "the text file got a preview"

out=$(run previews --json "$base") || err "second previews exited with $?"
echo "$out"
[ "$(jq -r .rendered <<<"$out")" = 0 ] || err "the second run rendered again"
[ "$(jq -r .stored <<<"$out")" = 0 ] || err "the second run stored again"

sleep 1
convert -size 90x90 xc:black -quality 90 "$d/photo17.jpg" || err "convert"
touch -d '+2 seconds' "$d/photo17.jpg"
out=$(run previews --json "$base") || err "third previews exited with $?"
[ "$(jq -r .stored <<<"$out")" = 1 ] || err "only the changed picture is rendered again: $out"
listing=$(run ls --json "$base")
jq -e '.[] | select(.name == "photo17.jpg") | .preview | .count == 1 and .width == 90' <<<"$listing" >/dev/null ||
  err "the changed picture's preview is not the new one: $(jq -c '.[] | select(.name == "photo17.jpg") | .preview' <<<"$listing")"

out=$(run previews --json --recursive "$base") || err "recursive previews exited with $?"
[ "$(jq -r .stored <<<"$out")" = 1 ] || err "--recursive renders the picture of the sub-folder alone: $out"
listing=$(run ls --json "$base/sub")
jq -e '.[] | select(.name == "small.png") | .preview | .width == 60 and .height == 40' <<<"$listing" >/dev/null ||
  err "a small picture is enlarged"

out=$(run previews --json --force --size 64 "$base") || err "forced previews exited with $?"
[ "$(jq -r .stored <<<"$out")" = 200 ] || err "--force renders every picture again: $out"
listing=$(run ls --json "$base")
jq -e '.[] | select(.name == "base0.jpg") | .preview | .count == 1 and .width == 64' <<<"$listing" >/dev/null ||
  err "forced previews replace the old ones"

out=$(run preview --stored --json -o "$home/stored.png" "$base/base3.jpg") || err "preview --stored exited with $?"
[ "$(jq -r .width <<<"$out")" = 64 ] || err "the stored preview is not the one written: $out"
[ -s "$home/stored.png" ] || err "no picture written"
run preview --stored -o "$home/none.png" "$base/notes.txt" 2>/dev/null && err "no stored preview is a failure"

run previews "$base/nothing-here" 2>/dev/null && err "a missing folder is a failure"
run previews --size 5 "$base" 2>/dev/null && err "--size 5 is refused"
run previews --help | grep -q '^usage: orxhost previews' || err "no help"
exit $fail
