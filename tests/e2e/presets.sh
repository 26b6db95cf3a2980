#!/usr/bin/env bash
# Presets of scene elements through orxhost: a material made into a preset from one document and
# applied to another (checked with scene ls --json), a taken name that gets a number, and clear
# failures that exit non-zero and leave the document as it was.
# Usage: presets.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

run demo >/dev/null || err "demo exited with $?"
src="$home/src.orx"
dst="$home/dst.orx"
run scene new "$src" && run scene add-material "$src" Red --color 1,0,0 && run scene add-object "$src" Cube --shape cube ||
  err "making the source document failed"
run scene new "$dst" && run scene add-material "$dst" Grey || err "making the target document failed"
src_before=$(sha256sum < "$src")

url=$(run preset make "$src" Red preset://demo.libqz/Materials) || err "preset make exited with $?"
[ "$url" = "preset://demo.libqz/Materials/Red" ] || err "preset make printed '$url'"
json=$(run preset make --json "$src" Red preset://demo.libqz/Materials) || err "preset make --json exited with $?"
printf '%s' "$json" | grep -q '"url": "preset://demo.libqz/Materials/Red 2"' || err "a taken name did not get a number: $json"
[ "$src_before" = "$(sha256sum < "$src")" ] || err "making a preset changed the source document"
run ls --json preset://demo.libqz/Materials | grep -q '"name": "Red"' || err "the new preset is not listed"
run preview preset://demo.libqz/Materials/Red --size 64 -o "$home/red.png" >/dev/null || err "preview exited with $?"
[ -s "$home/red.png" ] || err "no preview picture of the material preset"

run preset apply preset://demo.libqz/Materials/Red "$dst" || err "preset apply exited with $?"
json=$(run scene ls --json "$dst") || err "scene ls exited with $?"
if command -v python3 >/dev/null; then
  printf '%s' "$json" | python3 -c '
import json, sys
d = json.load(sys.stdin)
names = [m["name"] for m in d["materials"]]
assert names == ["Red", "Grey"] or names == ["Grey", "Red"], names
red = [m for m in d["materials"] if m["name"] == "Red"][0]
assert red["active"] and red["type"] == 5702, red
' || err "the applied material is not in the document: $json"
fi

# The demo's presets of each kind: an object merged and made active, then a tag put on it.
run preset apply preset://demo.libqz/Scene/Cube "$dst" && run preset apply --json preset://demo.libqz/Scene/Smooth "$dst" |
  grep -q '"type": 1018109' || err "applying the demo's object and tag presets failed"
json=$(run scene ls --json "$dst") || err "scene ls exited with $?"
if command -v python3 >/dev/null; then
  printf '%s' "$json" | python3 -c '
import json, sys
d = json.load(sys.stdin)
cube = [o for o in d["objects"] if o["name"] == "Cube"]
assert len(cube) == 1 and cube[0]["active"], d["objects"]
assert [t["name"] for t in cube[0]["children"] if t["kind"] == "tag"] == ["Smooth"], cube
assert len(d["render"]) == 1, d["render"]
' || err "the demo object and tag are not in the document: $json"
fi

# Gathering: the texture a material names is kept beside its preset, once.
printf 'texture bytes' >"$home/wood.png"
run scene add-material "$src" Oak --texture "$home/wood.png" || err "add-material --texture exited with $?"
url=$(run preset make --gather "$src" Oak preset://demo.libqz/Materials) || err "preset make --gather exited with $?"
[ "$url" = "preset://demo.libqz/Materials/Oak 2" ] || err "preset make --gather printed '$url'"
run cat preset://demo.libqz/Materials/wood.png | grep -q 'texture bytes' || err "the texture was not kept"
src_before=$(sha256sum < "$src")

# Undo across processes: each command is a process of its own, the steps are kept beside the file.
und="$home/undo.orx"
run scene new "$und" && run scene add-object "$und" Base --shape cube || err "making the undo document failed"
before=$(sha256sum < "$und")
run preset apply preset://demo.libqz/Materials/Red "$und" || err "preset apply exited with $?"
applied=$(sha256sum < "$und")
[ "$before" != "$applied" ] || err "the apply did not change the document"
[ -s "$und.undo" ] || err "no undo history beside the document"
run scene undo --json "$und" | grep -q '"ok": true, "command": "undo"' || err "scene undo --json failed"
[ "$before" = "$(sha256sum < "$und")" ] || err "undo in a second process did not give the bytes from before"
run scene redo "$und" >/dev/null || err "scene redo exited with $?"
[ "$applied" = "$(sha256sum < "$und")" ] || err "redo did not give the applied bytes"
run scene undo "$und" >/dev/null && run scene undo "$und" >/dev/null || err "undoing the apply and the add-object failed"
run scene undo "$und" 2>"$home/err"; [ $? -eq 1 ] || err "undo with nothing to undo did not exit with 1"
grep -q "nothing to undo" "$home/err" || err "unclear error: $(cat "$home/err")"
run scene undo --json "$und" 2>/dev/null | grep -q '"ok": false' || err "--json does not report nothing to undo"
run scene --help | grep -q 'undo \[--json\] DOC' || err "scene --help does not describe undo"
# A damaged history is left out with a warning; the document itself loads and changes as asked.
run scene redo "$und" >/dev/null || err "redo after the undos failed"
head -c 40 "$und.undo" >"$home/cut" && cat "$home/cut" >"$und.undo"
kept=$(sha256sum < "$und")
run scene undo "$und" 2>"$home/err"; [ $? -eq 1 ] || err "undo with a damaged history did not exit with 1"
grep -q "warning: .*undo history is left out" "$home/err" || err "no warning of the damaged history: $(cat "$home/err")"
[ "$kept" = "$(sha256sum < "$und")" ] || err "a damaged history changed the document"
run scene ls "$und" >/dev/null || err "the document with a damaged history does not list"
# A history of other bytes (the document written by something else) is not taken for this one.
run preset apply preset://demo.libqz/Materials/Red "$und" >/dev/null 2>&1 || err "apply exited with $?"
cp "$und.undo" "$home/stale.undo"
run scene add-material "$und" Blue >/dev/null || err "add-material exited with $?"
cp "$home/stale.undo" "$und.undo"
run scene undo "$und" 2>"$home/err"; [ $? -eq 1 ] || err "a stale history was taken for the document's"
grep -q "another version of the document" "$home/err" || err "unclear warning: $(cat "$home/err")"

# Every kind of the demo and a node setup: apply, then undo and redo, each in a process of its own.
run scene add-object "$src" Mover && run scene add-nodes "$src" Wobble --parent Mover || err "add-nodes failed"
run scene ls --json "$src" | grep -q '"name":"Wobble","kind":"nodesetup","type":5698,"active":true' ||
  err "the node setup is not listed: $(run scene ls --json "$src")"
one=$(sha256sum < "$src")
run scene add-nodes "$src" Shaker --parent Mover || err "a second add-nodes failed"
n=$(run scene ls --json "$src" | grep -o '"kind":"nodesetup"' | wc -l)
[ "$n" = 1 ] || err "an object carries $n node setups"
run scene undo "$src" >/dev/null && [ "$one" = "$(sha256sum < "$src")" ] || err "undo did not bring the first setup back"
run scene add-nodes "$src" Nowhere --parent Nobody 2>/dev/null && err "add-nodes without its object succeeded"
url=$(run preset make "$src" Mover/Wobble preset://demo.libqz/Scene) || err "preset make of a node setup exited with $?"
[ "$url" = "preset://demo.libqz/Scene/Wobble" ] || err "preset make of a node setup printed '$url'"
kinds="$home/kinds.orx"
run scene new "$kinds" && run scene add-object "$kinds" Target || err "making the kinds document failed"
for preset in Materials/Red Scene/Cube Scene/Smooth Scene/Wobble; do
  before=$(sha256sum < "$kinds")
  run preset apply preset://demo.libqz/$preset "$kinds" 2>/dev/null || { err "applying $preset failed"; continue; }
  applied=$(sha256sum < "$kinds")
  [ "$before" != "$applied" ] || err "applying $preset changed nothing"
  run scene undo "$kinds" >/dev/null || err "undo of $preset exited with $?"
  [ "$before" = "$(sha256sum < "$kinds")" ] || err "undo of $preset did not give the bytes from before"
  run scene redo "$kinds" >/dev/null || err "redo of $preset exited with $?"
  [ "$applied" = "$(sha256sum < "$kinds")" ] || err "redo of $preset did not give the applied bytes"
done
run scene ls --json "$kinds" | grep -q '"name":"Wobble","kind":"nodesetup"' || err "the applied node setup is not listed"
# A node setup needs an object to go on: none is active in a new document.
run scene new --force "$kinds" && before=$(sha256sum < "$kinds")
run preset apply preset://demo.libqz/Scene/Wobble "$kinds" 2>"$home/err" && err "a node setup applied without an object"
grep -q "is unchanged" "$home/err" || err "unclear error: $(cat "$home/err")"
[ "$before" = "$(sha256sum < "$kinds")" ] || err "a node setup that did not apply changed the document"

# Failures: exit 1, a clear message, the document as it was.
before=$(sha256sum < "$dst")
run preset apply preset://demo.libqz/Materials/Nothing "$dst" 2>"$home/err" && err "applying a missing preset succeeded"
grep -q "no such content" "$home/err" || err "unclear error: $(cat "$home/err")"
run preset apply preset://demo.libqz/Materials "$dst" 2>"$home/err" && err "applying a folder succeeded"
grep -q "is not a preset" "$home/err" || err "unclear error: $(cat "$home/err")"
run preset make "$src" Nowhere preset://demo.libqz/Materials 2>"$home/err" && err "making a preset of nothing succeeded"
grep -q "no element 'Nowhere'" "$home/err" || err "unclear error: $(cat "$home/err")"
run preset make "$src" Red preset://demo.libqz/Materials/Red 2>"$home/err" && err "making a preset into a preset succeeded"
grep -q "is not a folder of a preset library" "$home/err" || err "unclear error: $(cat "$home/err")"
head -c 30 "$src" >"$home/cut.orx"
run preset make "$home/cut.orx" Red preset://demo.libqz/Materials 2>"$home/err" && err "a truncated document made a preset"
grep -q "truncated" "$home/err" || err "unclear error: $(cat "$home/err")"
run preset apply --json preset://demo.libqz/Materials/Red "$home/missing.orx" >"$home/out" 2>/dev/null &&
  err "applying to a missing document succeeded"
grep -q '"ok": false' "$home/out" || err "--json failure is not reported: $(cat "$home/out")"
run preset frobnicate 2>/dev/null; [ $? -eq 2 ] || err "an unknown preset command did not exit with 2"
run preset --help | grep -q 'preset make' || err "preset --help does not describe make"
[ "$before" = "$(sha256sum < "$dst")" ] || err "a failed command changed the document"

# Defaults: stored per kind, listed, deleted through the browser, gone at the next start.
run preset get-default 5702 2>/dev/null && err "a kind without a default reported one"
run preset set-default "$src" Red >/dev/null || err "set-default exited with $?"
run preset get-default --json 5702 | grep -q '"settings": [1-9]' || err "the stored default is not read back"
run ls preset://defaultobject.libqz | grep -q '^Material  *Default Setting' || err "the default is not listed"
run rm --yes preset://defaultobject.libqz/5702 >/dev/null || err "rm of a default exited with $?"
run preset get-default 5702 2>/dev/null && err "a deleted default came back"
exit $fail
