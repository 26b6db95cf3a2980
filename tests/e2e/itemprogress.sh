#!/usr/bin/env bash
# Copy, move and delete of trees through orxhost cp, mv and rm: the result equals cp -a, a bar on a
# terminal, taken names answered by --yes, --no and --skip-existing, a folder never copied into
# itself. The tree is 2000 small files in 20 folders and three 4 MiB files (about 13 MB); the full
# size (10 000 files and ten 100 MB files) is bench_itemprogress's.
# Usage: itemprogress.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

data="$home/volumes/data"
src="$data/src"
mkdir -p "$data/out" "$data/ref" "$data/moved"
for d in $(seq 0 19); do
  mkdir -p "$src/d$d"
  for f in $(seq 0 99); do printf 'file %d of folder %d\n' "$f" "$d" > "$src/d$d/f$f.txt"; done
done
for i in 1 2 3; do head -c 4194304 /dev/urandom > "$src/big$i.bin"; done
printf 'hidden' > "$src/.hidden"
printf 'upper' > "$src/Case.txt"
printf 'lower' > "$src/case.txt"
ln -s d0/f0.txt "$src/link"
base="file://localhost$data"
cp -a "$src" "$data/ref/"

# On a terminal the copy shows its bar and ends full.
if command -v script >/dev/null; then
  tty=$(ORX_CMD="$host --module $module cp $base/src $base/out" script -qec 'sh -c "$ORX_CMD"' /dev/null 2>&1 </dev/null) ||
    err "cp on a terminal failed: $tty"
  printf '%s' "$tty" | grep -q 'Copying \[' || err "no progress bar while copying: $tty"
  printf '%s' "$tty" | grep -q '\[#\{30\}\] 100%  2028/2028 items' || err "the bar does not end full: $tty"
else
  run cp "$base/src" "$base/out" >/dev/null || err "cp -r failed"
fi
diff -r --no-dereference "$data/ref/src" "$data/out/src" || err "the copy differs from cp -a"
[ -L "$data/out/src/link" ] || err "a link was not copied as a link"
ls -a "$data/out" | grep -q '^\.orx-' && err "a temporary name was left behind"

# A taken name: no by default (nothing changes), skipped on request, replaced on yes.
printf 'changed' > "$src/d3/f7.txt"
run cp "$base/src" "$base/out" >/dev/null 2>"$home/err" && err "cp onto a taken name succeeded"
grep -q 'exists where it would go' "$home/err" || err "the conflict is not clear: $(cat "$home/err")"
diff -r --no-dereference "$data/ref/src" "$data/out/src" >/dev/null || err "a refused copy changed the destination"
out=$(run cp --skip-existing --json "$base/src" "$base/out" 2>/dev/null) || err "cp --skip-existing failed"
echo "$out" | grep -q '"ok":true.*"result":"skipped"' || err "cp --skip-existing printed: $out"
run cp --no "$base/src" "$base/out" >/dev/null 2>&1 && err "cp --no succeeded"
run cp --yes "$base/src" "$base/out" >/dev/null 2>"$home/err" || err "cp --yes failed: $(cat "$home/err")"
[ "$(cat "$data/out/src/d3/f7.txt")" = changed ] || err "cp --yes did not replace"
diff -r --no-dereference "$src" "$data/out/src" || err "the replacing copy differs from its source"
ls -a "$data/out" | grep -q '^\.orx-' && err "a replace left a temporary name behind"

# A folder into itself or its own sub-folder: refused at once, nothing changes.
before=$(cd "$src" && find . | sort | md5sum)
run cp "$base/src" "$base/src/d1" >/dev/null 2>"$home/err" && err "cp of a folder into its sub-folder succeeded"
grep -q 'inside' "$home/err" || err "the refusal does not say why: $(cat "$home/err")"
run mv "$base/src" "$base/src" >/dev/null 2>&1 && err "mv of a folder into itself succeeded"
[ "$(cd "$src" && find . | sort | md5sum)" = "$before" ] || err "a refused copy changed the source"

# Move with a taken name, then delete.
mkdir -p "$data/moved/src"
printf 'old' > "$data/moved/src/old.txt"
run mv "$base/src" "$base/moved" >/dev/null 2>&1 && err "mv onto a taken name succeeded"
[ -d "$src" ] || err "a refused move moved"
run mv --yes "$base/src" "$base/moved" >/dev/null 2>"$home/err" || err "mv --yes failed: $(cat "$home/err")"
[ ! -e "$src" ] && [ ! -e "$data/moved/src/old.txt" ] || err "mv --yes did not replace"
diff -r --no-dereference "$data/out/src" "$data/moved/src" || err "the moved tree differs"
out=$(run rm --json "$base/moved/src" 2>/dev/null) || err "rm of a tree failed"
echo "$out" | grep -q '"ok":true,"command":"rm".*"items":2028' || err "rm --json printed: $out"
[ -e "$data/moved/src" ] && err "rm left the tree"
for c in cp mv; do run "$c" --help | grep -q -- "--skip-existing" || err "$c --help says nothing of --skip-existing"; done
exit $fail
