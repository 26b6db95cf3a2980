#!/usr/bin/env bash
# Scene documents through orxhost: a document made, filled, listed (text and JSON) and saved
# between commands; clear failures with a non-zero exit and the file left as it was.
# Usage: scenes.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

doc="$home/a.orx"
run scene new "$doc" || err "scene new exited with $?"
run scene new "$doc" 2>/dev/null && err "scene new replaced an existing file"
run scene add-object "$doc" Cube --shape cube || err "add-object exited with $?"
run scene add-object "$doc" Ball --shape sphere --parent Cube || err "add-object --parent exited with $?"
run scene add-material "$doc" Red --color 1,0,0 || err "add-material exited with $?"
out=$(run scene ls "$doc") || err "ls exited with $?"
echo "$out"
printf '%s\n' "$out" | grep -q '^  Ball \[object 5155\] \*$' || err "ls: Ball is not the active child of Cube"
printf '%s\n' "$out" | grep -q '^Red \[material 5702\] \*$' || err "ls: no active material Red"
json=$(run scene ls --json "$doc") || err "ls --json exited with $?"
if command -v python3 >/dev/null; then
  printf '%s' "$json" | python3 -c '
import json, sys
d = json.load(sys.stdin)
assert d["objects"][0]["name"] == "Cube" and d["objects"][0]["children"][0]["name"] == "Ball"
assert d["materials"][0]["type"] == 5702 and d["render"][0]["kind"] == "rendersettings"
' || err "ls --json: unexpected tree: $json"
fi
run scene save "$doc" "$home/b.orx" || err "save exited with $?"
cmp -s "$doc" "$home/b.orx" || err "save wrote other bytes"

before=$(sha256sum < "$doc")
run scene add-object "$doc" X --parent Nowhere 2>"$home/err" && err "add-object under a missing parent succeeded"
grep -q "no object 'Nowhere'" "$home/err" || err "unclear error: $(cat "$home/err")"
[ "$before" = "$(sha256sum < "$doc")" ] || err "a failed command changed the document"
head -c 40 "$doc" > "$home/cut.orx"
run scene ls "$home/cut.orx" 2>"$home/err" && err "ls of a truncated document succeeded"
grep -q "truncated" "$home/err" || err "unclear error: $(cat "$home/err")"
run scene ls "$home" 2>/dev/null && err "ls of a folder succeeded"

# Foreign scene files: a small one adds its objects and materials; a damaged one is refused with a
# reason and leaves the document alone.
printf 'v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nf 1 2 4 3\n' >"$home/quad.obj"
run scene import --json "$doc" "$home/quad.obj" | grep -q '"objects": 1' || err "import of an obj failed"
# The importer names the unnamed group of an obj file "defaultobject".
run scene ls --json "$doc" | grep -q '"name":"defaultobject"' || err "the imported object is not in the document"
before=$(sha256sum < "$doc")
printf 'solid x\n facet normal 0 0 1\n  outer loop\n   vertex 0 0' >"$home/cut.stl"
run scene import "$doc" "$home/cut.stl" 2>"$home/err" && err "import of a damaged file succeeded"
grep -q "cut.stl: " "$home/err" || err "unclear error: $(cat "$home/err")"
[ "$before" = "$(sha256sum < "$doc")" ] || err "a failed import changed the document"
# Previews drawn by the host's renderer: a material ball, an object with its child, the whole
# document; clear failures for what has nothing to show, and for a renderer that cannot start.
run scene render --json "$doc" -o "$home/red.png" --element Red --size 64 | grep -q '"kind": "material"' ||
  err "render of a material failed"
[ "$(head -c 8 "$home/red.png" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || err "render wrote no PNG"
run scene render "$doc" -o "$home/cube.png" --element Cube >/dev/null || err "render of an object exited with $?"
run scene render "$doc" -o "$home/all.jpg" --size 32 >/dev/null || err "render of the document exited with $?"
[ -s "$home/cube.png" ] && [ -s "$home/all.jpg" ] || err "render wrote no pictures"
run scene new "$home/empty.orx" || err "scene new exited with $?"
run scene render "$home/empty.orx" -o "$home/none.png" 2>"$home/err" && err "render of an empty document succeeded"
grep -q "no object" "$home/err" || err "unclear error: $(cat "$home/err")"
[ -e "$home/none.png" ] && err "a failed render wrote a picture"
run scene render "$doc" -o "$home/x.png" --element Nowhere 2>"$home/err" && err "render of a missing element succeeded"
grep -q "no object or material 'Nowhere'" "$home/err" || err "unclear error: $(cat "$home/err")"
run scene render "$doc" -o "$home/x.png" --size 0 2>/dev/null && err "render of size 0 succeeded"
ORXHOST_NO_GL=1 run scene render --json "$doc" -o "$home/x.png" 2>/dev/null | grep -q '"ok": false' ||
  err "render without a renderer did not fail"
exit $fail
