#!/usr/bin/env bash
# The desktop program for a minute under ThreadSanitizer on a virtual display with a window
# manager, arrow keys held and released, then closed with its close button. Any report not in
# tsan.supp (third-party library internals) fails the run. Needs `scripts/test` to have
# configured build/tsan; builds the viewer there first.
#   tests/sanitizers/desktop_tsan.sh [SECONDS]
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-60}"
cmake --build "$root/build/tsan" --target modelviewer >/dev/null || exit 1
cd "$root/build/tsan/run"
display=":$((200 + RANDOM % 100))"
export DISPLAY="$display"
Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 & xvfb=$!
sleep 1
openbox --sm-disable >/dev/null 2>&1 & wm=$!
sleep 1
log="$(mktemp -d)/tsan"
TSAN_OPTIONS="halt_on_error=0 log_path=$log suppressions=$root/tests/sanitizers/tsan.supp" ./modelviewer & viewer=$!
window=""
for _ in $(seq 200); do
  window=$(xdotool search --name '^ModelViewer$' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.3
done
xdotool mousemove 900 500
start=$(date +%s)
while [ $(( $(date +%s) - start )) -lt "$seconds" ]; do
  xdotool keydown Up; sleep 3; xdotool keydown Left; sleep 1; xdotool keyup Left
  xdotool keydown Right; sleep 1; xdotool keyup Right; xdotool keyup Up; sleep 1
  xdotool keydown Down; sleep 0.3; xdotool keyup Down; sleep 2
done
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + WIDTH - 18 - 14)) $((Y + 3 + 14)) click 1
wait "$viewer"; status=$?
kill "$wm" "$xvfb" 2>/dev/null
reports=$(cat "$log".* 2>/dev/null | grep -c "WARNING: ThreadSanitizer" || true)
echo "viewer exit status $status, $reports ThreadSanitizer reports"
[ "$status" -eq 1 ] && [ "$reports" -eq 0 ]
