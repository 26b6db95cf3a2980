#!/usr/bin/env bash
# orxhost gui renders its main window offscreen into a PNG, with the plug-in's "Content Browser..."
# command in the open command menu, and answers its errors clearly.
# Usage: gui.sh <orxhost> <browser.so>
set -u
source "$(dirname "$0")/lib/common.bash" "$@"

help=$(run gui --help 2>&1)
echo "$help" | grep -q -- "--screenshot" || err "gui --help does not tell --screenshot"

png="$home/main.png"
out=$(QT_QPA_PLATFORM=offscreen run gui --screenshot "$png" --after 300 --json 2>&1)
rc=$?
echo "$out"
if [ "$rc" -eq 3 ] && echo "$out" | grep -q "built without Qt"; then
  echo "orxhost was built without its window: skipped"
  exit 77
fi
[ "$rc" -eq 0 ] || err "orxhost gui --screenshot exited with $rc"
echo "$out" | grep -q '"menu":\[[^]]*"Content Browser\.\.\."' || err "the command menu lacks Content Browser..."
echo "$out" | grep -q '"preferences":\["Content Browser"\]' || err "the preference page is missing"
[ "$(head -c 8 "$png" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || err "no PNG written"
size=$(stat -c %s "$png" 2>/dev/null || echo 0)
[ "$size" -gt 2000 ] || err "the PNG is too small to show a window ($size bytes)"

out=$(QT_QPA_PLATFORM=offscreen run gui --after soon 2>&1)
[ $? -eq 2 ] || err "a bad --after is not refused"
echo "$out" | grep -q "milliseconds" || err "a bad --after is not explained"
exit $fail
