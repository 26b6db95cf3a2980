#!/usr/bin/env bash
# Searching through orxhost: hits printed as found with the totals at the end (text and JSON), the
# same files as find in a real tree, links never entered, Ctrl-C, and clear failures.
# Usage: search.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

data="$home/volumes/data"
mkdir -p "$data/a/b" "$data/c"
printf 'x' > "$data/a/License.txt"
printf 'x' > "$data/a/b/mylicense"
head -c 3000 /dev/zero > "$data/c/big-license"
printf 'x' > "$data/c/other"
ln -s . "$data/a/loop1"
ln -s . "$data/a/loop2"
base="file://localhost$data"

out=$(run search "$base" --name contains:license --recursive) || err "search exited with $?"
echo "$out"
[ "$(printf '%s\n' "$out" | grep -c '^file://')" = 3 ] || err "three hits expected"
printf '%s\n' "$out" | tail -1 | grep -q '^orxhost search: 3 found in [0-9.]* s' || err "no totals line"

out=$(run search "$base" --name contains:license) || err "search without sub-folders exited with $?"
printf '%s\n' "$out" | grep -q '^file://' && err "without --recursive only the start's children are searched"

out=$(run search --json "$base" --name ends:license --size atleast:2 --recursive) || err "search --json exited with $?"
echo "$out"
printf '%s\n' "$out" | grep -q "^{\"hit\":\"$base/c/big-license\"" || err "the big file is not a hit"
[ "$(printf '%s\n' "$out" | grep -c '"hit"')" = 1 ] || err "one hit expected"
printf '%s\n' "$out" | tail -1 | grep -q '"ok":true,"command":"search".*"count":1,' || err "no JSON totals"

out=$(run search --json "$base" --name contains:l --recursive --limit 1) || err "search --limit exited with $?"
[ "$(printf '%s\n' "$out" | grep -c '"hit"')" = 1 ] || err "--limit 1 printed more"

# A real tree that nobody here wrote (reached as a volume of the test home).
ln -s /usr/share "$home/volumes/share"
share="file://localhost$home/volumes/share"
got=$(run search "$share" --name contains:license --recursive | grep '^file://' | sed "s|^$share|/usr/share|" | sort)
want=$(find /usr/share -xdev -iname '*license*' -not -path '*/.*' \( -type f -o -type d -o -type l \) | sort)
[ "$got" = "$want" ] || { err "not the files find finds"; diff <(echo "$want") <(echo "$got") | head; }

# Ctrl-C stops the search cleanly: the totals are printed and the exit code is 0.
run search "$share" --name contains:no-such-name-anywhere --recursive > "$home/int.out" &
pid=$!
sleep 0.3
kill -INT "$pid" 2>/dev/null
wait "$pid"
rc=$?
[ "$rc" = 0 ] || err "an interrupted search exited with $rc"
tail -1 "$home/int.out" | grep -q '^orxhost search: 0 found' || err "no totals after Ctrl-C: $(tail -1 "$home/int.out")"

# Clear failures.
run search "$base" >/dev/null 2>&1; [ $? = 2 ] || err "a search without criteria must fail with 2"
run search "$base" --name '' >/dev/null 2>&1; [ $? = 2 ] || err "an empty pattern must fail with 2"
run search "$base" --type '' >/dev/null 2>&1; [ $? = 2 ] || err "an empty type name must fail with 2"
run search "$base" --size atleast:x >/dev/null 2>&1; [ $? = 2 ] || err "a bad size must fail with 2"
run search "$base" --modified before:2020-13-01 >/dev/null 2>&1; [ $? = 2 ] || err "a bad date must fail with 2"
args=()
for i in $(seq 21); do args+=(--name "contains:x$i"); done
run search "$base" "${args[@]}" >/dev/null 2>&1; [ $? = 2 ] || err "a 21st criterion must be refused"
run search "file://localhost$data/none" --name x >/dev/null 2>&1; [ $? = 1 ] || err "a missing start must fail with 1"
run search --help | grep -q '^usage: orxhost search' || err "no help"
exit $fail
