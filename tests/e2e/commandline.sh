#!/usr/bin/env bash
# The command line of every orxhost command read one way: --opt=value and --opt value, -- before
# names that start with a dash, options given twice, numbers that are not whole or out of range,
# one clear line for each refusal, and a help that lists every option.
# Usage: commandline.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"
# Some checks run in another folder.
host=$(realpath "$host")
module=$(realpath "$module")

data="$home/volumes/data"
mkdir -p "$data"
printf 'dash' > "$data/-x"
printf 'x' > "$data/license"
base="file://localhost$data"

# refused CODE TEXT ARGS...: exits with CODE, and its one line on standard error holds TEXT.
refused() {
  local want=$1 text=$2
  shift 2
  local out rc
  out=$(run "$@" 2>&1 >/dev/null)
  rc=$?
  [ "$rc" = "$want" ] || err "$*: exit $rc, not $want ($out)"
  printf '%s\n' "$out" | grep -qF -- "$text" || err "$*: the message does not say '$text': $out"
}

# A name that starts with a dash, after --.
[ "$(run file cat -- "$data/-x")" = dash ] || err "file cat -- NAME did not read the file"
(cd "$data" && [ "$(run file cat -- -x)" = dash ]) || err "file cat -- -x did not read ./-x"
(cd "$data" && refused 2 "unknown option '-x' (see orxhost file cat --help)" file cat -x)

# Values attached with = and given apart mean the same.
a=$(run ls --sort=size --json "$base") || err "ls --sort=size exited with $?"
b=$(run ls --sort size --json "$base") || err "ls --sort size exited with $?"
[ "$a" = "$b" ] || err "ls --sort=size and --sort size differ"
run search "$base" --name=license --limit=1 | grep -q "^$base/license\$" || err "search --name=license found nothing"

# Numbers: whole, in range, nothing after them.
refused 2 "--limit" search "$base" --name license --limit 99999999999999999999
refused 2 "--limit" search "$base" --name license --limit ' 5'
refused 2 "--limit" search "$base" --name license --limit 0
refused 2 "is no size" search "$base" --size atleast:' 4'
refused 2 "is no date" search "$base" --modified 'after:2020-1-5x'
refused 2 "--size" preview -o "$home/p.png" --size 12x "$base/license"
refused 2 "--after" gui --after=-1

doc="$home/a.orx"
run scene new "$doc" >/dev/null || err "scene new"
refused 1 "--color" scene add-material "$doc" Red --color 1,0,0x
refused 1 "--color" scene add-material "$doc" Red --color 1,0,0,1
run scene add-material "$doc" Half --color=0.5,.25,1 || err "scene add-material --color=0.5,.25,1"

# Each refusal: the command's name, what was wrong, and where the help is.
refused 2 "orxhost ls: unknown option '--bogus' (see orxhost ls --help)" ls --bogus "$base"
refused 2 "--sort needs a value" ls "$base" --sort
refused 2 "--json may be given once" ls --json --json "$base"
refused 2 "--force may be given once" scene new --force --force "$doc"
refused 2 "'--parent'" scene new --parent X "$doc"
refused 2 "one argument too many: 'c'" cp a b c
refused 2 "FOLDER-URL is needed" mv a
refused 2 "unknown command 'frobnicate'" scene frobnicate
refused 2 "--json takes no value" info --json=yes "$base"
refused 2 "orxhost: unknown option '--bogus'" --bogus ls "$base"

# A file URL may be written short, as file:/PATH or as the path itself: the same content as
# file://localhost/PATH.
[ "$(run ls "file:$data" 2>&1)" = "$(run ls "$base")" ] || err "ls file:$data does not list what ls $base lists"
[ "$(run ls "$data" 2>&1)" = "$(run ls "$base")" ] || err "ls $data does not list what ls $base lists"
got=$(run search "file:$data" --name contains:license 2>/dev/null | grep -c '^file://localhost')
[ "$got" = 1 ] || err "search file:$data found $got hits, not 1"

# The help of each command names each of its options.
help=$(run scene render --help) || err "scene render --help exited with $?"
for o in --json -o --out --size --element --help; do
  printf '%s\n' "$help" | grep -qe " $o" || err "scene render --help does not name $o"
done
help=$(run search --help) || err "search --help exited with $?"
for o in --name --keyword --annotation --modified --created --size --type --recursive --json --limit; do
  printf '%s\n' "$help" | grep -q "^  .*$o" || err "search --help does not name $o"
done
exit $fail
