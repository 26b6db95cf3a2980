#!/usr/bin/env bash
# A damaged or read-only library through orxhost: listing and reading leave its bytes alone, a
# flipped bit in one record costs no other item, and a library the user cannot write still reads.
# Usage: damage.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"
command -v python3 >/dev/null || { echo "damage.sh: python3 is needed to edit the library's bytes"; exit 0; }
lib="$home/userlibrary/browser/demo.libqz"
folder='preset://demo.libqz/Materials'
names() { awk 'NR == 1 { w = index($0, "TYPE") - 1 } NR > 1 { n = substr($0, 1, w); sub(/ +$/, "", n); sub(/\/$/, "", n); print n }'; }
sum() { md5sum "$1" | cut -d' ' -f1; }

# The offset of a field of the chunk that holds a record (found by its UTF-16 text) or of the
# first chunk of a kind: "tag" (the byte whose bit 0 is flipped), "sign" (the tag's top byte) or
# "code".
offset() {
  python3 - "$lib" "$1" "$2" <<'EOF'
import struct, sys
data, what, field = open(sys.argv[1], 'rb').read(), sys.argv[2], sys.argv[3]
# A String in a record image: its length in UTF-16 units, then the units.
needle = struct.pack('>I', len(what)) + what.encode('utf-16-be')
p = 16
while p + 16 <= len(data):
    code, tag, hi, lo = struct.unpack('>4sIII', data[p:p + 16])
    size = (hi << 32) | lo
    body = data[p + 16:p + 16 + size]
    if code == what.encode() or (code == b'ditm' and needle in body):
        print({'tag': p + 7, 'sign': p + 4, 'code': p + 3}[field])
        break
    if code == b'dbfe':
        break
    p += 16 + size
EOF
}
flip() { python3 -c "import sys
f = open(sys.argv[1], 'r+b'); f.seek(int(sys.argv[2])); b = f.read(1); f.seek(int(sys.argv[2])); f.write(bytes([b[0] ^ int(sys.argv[3])]))" "$lib" "$1" "$2"; }

run demo >/dev/null || err "demo exited with $?"
good=$(sum "$lib")
run cat "$folder/Red Plastic" >"$home/red" || err "cat Red Plastic exited with $?"
# Starting, listing, reading and stopping write nothing to a healthy library either.
for u in preset:/ preset://demo.libqz "$folder" "$folder/Metals" 'preset://demo.libqz/Objects'; do
  run ls "$u" >/dev/null || err "ls $u exited with $?"
  run info "$u" >/dev/null || err "info $u exited with $?"
done
run cat 'preset://demo.libqz/Objects/Cube' >/dev/null || err "cat Cube exited with $?"
[ "$(sum "$lib")" = "$good" ] || err "listing and reading wrote to a healthy library"

# A flipped bit in Red Plastic's tag makes it claim another item's id.
at=$(offset "$folder/Red Plastic" tag)
[ -n "$at" ] || err "no record of Red Plastic in the demo library"
flip "$at" 1
bad=$(sum "$lib")
got=$(run ls "$folder" | names | paste -sd, -)
[ "$got" = "Metals,Oak,Red Plastic" ] || err "damaged library lists: $got"
run rename "$folder/Oak" "Oak 2" 2>/dev/null && err "a rename in a damaged library was allowed"
[ "$(sum "$lib")" = "$bad" ] || err "ls or a refused rename wrote to the damaged library"
flip "$at" 1
[ "$(sum "$lib")" = "$good" ] || err "flipping the bit back did not give the library back"
run rename "$folder/Oak" "Oak 2" >/dev/null || err "rename after the repair exited with $?"
got=$(run ls "$folder" | names | paste -sd, -)
[ "$got" = "Metals,Oak 2,Red Plastic" ] || err "after the rename: $got"
run cat "$folder/Red Plastic" | cmp -s "$home/red" - || err "Red Plastic's data changed"
good=$(sum "$lib")

# Listing and reading a library with a damaged folder record or info chunk writes nothing.
for damage in "$folder sign 128" "difm code 1"; do
  set -- $damage
  at=$(offset "$1" "$2")
  [ -n "$at" ] || { err "no $1 chunk found"; continue; }
  flip "$at" "$3"
  bad=$(sum "$lib")
  run ls preset:/ >/dev/null
  run ls preset://demo.libqz >/dev/null 2>&1
  run ls "$folder" >/dev/null 2>&1
  run cat "$folder/Red Plastic" >/dev/null 2>&1
  [ "$(sum "$lib")" = "$bad" ] || err "listing wrote to a library with a damaged $1 chunk"
  flip "$at" "$3"
done
run ls preset:/ | grep -q '^Demo/ ' || err "the display name did not survive a damaged info chunk"

# A library the user cannot write: every item's data and preview still reads.
chmod 0444 "$lib"
run cat "$folder/Red Plastic" | cmp -s "$home/red" - || err "a read-only library's data does not read"
got=$(run ls "$folder" | names | paste -sd, -)
[ "$got" = "Metals,Oak 2,Red Plastic" ] || err "read-only library lists: $got"
[ "$(sum "$lib")" = "$good" ] || err "a read-only library changed"
chmod 0644 "$lib"

exit $fail
