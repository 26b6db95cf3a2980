#!/usr/bin/env bash
# The host loads the plug-in, starts it, runs the start-up messages and ends it, in the fixed order,
# with no host memory left; the plug-in exports nothing of its own but orx_main.
# Usage: lifecycle.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

out=$(ORXHOST_HOME="$home" ORX_BROWSER_TRACE=1 "$host" --module "$module" 2>&1)
rc=$?
echo "$out"
[ "$rc" -eq 0 ] || err "orxhost exited with $rc"

# Each expected line must appear after the one before it.
expect_in_order() {
  local last=0 pattern n
  for pattern in "$@"; do
    n=$(printf '%s\n' "$out" | awk -v from="$last" -v p="$pattern" 'NR > from && index($0, p) == 1 { print NR; exit }')
    if [ -z "$n" ]; then
      err "missing, or out of order: '$pattern'"
      return
    fi
    last=$n
  done
}

expect_in_order \
  "orxhost: action 1 -> 1" \
  "orxhost: message 1 -> 1" \
  "orxhost: register icon 1021644" \
  "orxhost: register icon 1021651" \
  "console: CB trace: start 1 content" \
  "console: CB trace: start 2 view settings" \
  "console: CB trace: start 3 background tasks" \
  "console: CB trace: start 4 call table" \
  "console: CB trace: start 5 commands" \
  "orxhost: register command 1017163" \
  "console: CB trace: start 6 manager information" \
  "orxhost: register manager 1017163" \
  "console: CB trace: start 7 view filter commands" \
  "console: CB trace: start 8 preference page" \
  "orxhost: register prefpage 465001634" \
  "orxhost: action 2 -> 1" \
  "orxhost: message 1001084 -> -1" \
  "console: CB trace: start loader thread" \
  "orxhost: message 1000 -> 1" \
  "console: CB trace: end close windows" \
  "console: CB trace: end loader thread" \
  "console: CB trace: end shut down content" \
  "console: CB trace: end free icon cache" \
  "orxhost: message 200000272 -> 1" \
  "console: CB trace: end release content" \
  "orxhost: action 3 -> 1" \
  "orxhost: live host blocks: 0"

icons=$(printf '%s\n' "$out" | grep -c '^orxhost: register icon 10216[45][0-9]')
[ "$icons" -eq 8 ] || err "expected 8 progress icons, saw $icons"
if printf '%s\n' "$out" | grep -q 'RegisterIcon failed'; then
  err "an icon of the module did not register"
fi

# Without the trace variable the module writes no trace lines.
quiet=$(ORXHOST_HOME="$home" "$host" --module "$module" 2>&1)
if printf '%s\n' "$quiet" | grep -q 'CB trace'; then
  err "trace lines without ORX_BROWSER_TRACE"
fi

# Exported functions of the module's own: only orx_main. Library runtime symbols that the
# toolchain gives default visibility (std::, __gnu_cxx::, the ABI support) do not count.
exports=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TWi]$/ { print $3 }' |
  grep -Ev '^(_init|_fini)$|^_ZN?K?St|^_ZN?K?9__gnu_cxx|^__cxa_|^__gxx_' | sort)
[ "$exports" = "orx_main" ] || err "exported functions: $(echo $exports)"

[ "$fail" -eq 0 ] && echo "lifecycle: ok"
exit "$fail"
