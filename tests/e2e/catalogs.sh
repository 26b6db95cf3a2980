#!/usr/bin/env bash
# Catalogs through orxhost: a catalog is made and filled with links to a folder, a file and a
# preset; after a restart the links show their targets; a renamed folder leaves its link
# unresolved; favorites are kept; bad input fails clearly.
# Usage: catalogs.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

run demo >/dev/null || err "demo exited with $?"
data="$home/volumes/data"
mkdir -p "$data/docs"
echo hello >"$data/docs/a.txt"

out=$(run catalog new Mine) || err "catalog new exited with $?"
echo "$out"
[ -f "$home/userlibrary/browser/Mine.catqz" ] || err "Mine.catqz was not written"
run catalog new Mine >/dev/null 2>&1 && err "a second catalog new Mine succeeded"
run catalog new 'a/b' >/dev/null 2>&1 && err "a name with a slash was taken"

out=$(run catalog add --json catalog://Mine.catqz "file://$data/docs" "file://$data/docs/a.txt" \
  'preset://demo.libqz/Materials/Oak') || err "catalog add exited with $?"
echo "$out"
[ "$(printf '%s\n' "$out" | grep -c '"ok":true')" = 3 ] || err "three links expected: $out"
run catalog add catalog://Mine.catqz 'preset://demo.libqz/nothing' >/dev/null 2>&1 &&
  err "a link to nothing was made"
run catalog add 'preset://demo.libqz' "file://$data/docs" >/dev/null 2>&1 && err "a library took a link"

# A new start reads the catalog back: every link with its target, resolved.
out=$(run ls --json --sort none catalog://Mine.catqz) || err "ls exited with $?"
echo "$out"
for t in "file://localhost$data/docs" "file://localhost$data/docs/a.txt" 'preset://demo.libqz/Materials/Oak'; do
  printf '%s\n' "$out" | grep -q "\"target\": \"$t\", \"resolved\": true" || err "no resolved link to $t"
done

# The folder is renamed on disk: its link stays, unresolved, and never crashes anything.
mv "$data/docs" "$data/moved"
out=$(run ls catalog://Mine.catqz) || err "ls after the rename exited with $?"
echo "$out"
printf '%s\n' "$out" | grep -q "^docs/ .*-> file://localhost$data/docs (unresolved)" || err "the moved folder's link is not unresolved"

# Favorites are kept from one start to the next.
run fav add "file://$data/moved" >/dev/null || err "fav add exited with $?"
out=$(run ls --json favorite:/) || err "ls favorite:/ exited with $?"
echo "$out"
printf '%s\n' "$out" | grep -q "\"target\": \"file://localhost$data/moved\", \"resolved\": true" || err "the favorite is gone"
run fav add 'preset://demo.libqz/none' >/dev/null 2>&1 && err "fav add of nothing succeeded"
run catalog frob >/dev/null 2>&1 && err "an unknown subcommand succeeded"
run catalog --help | grep -q 'catalog new' || err "catalog --help"
run fav --help | grep -q 'fav add' || err "fav --help"
exit $fail
