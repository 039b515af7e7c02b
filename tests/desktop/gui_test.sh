#!/usr/bin/env bash
# Usage: gui_test.sh APP TESTING_HELPER DRIVER SCREENSHOT_DIR
# Runs the desktop application under Xvfb with its own D-Bus session bus (the
# accessibility bus starts from it) and drives it through its accessibility
# tree, once at 1280x800 and once at 800x600. Skipped (exit 77) where Xvfb or
# the accessibility bindings are missing, unless RAVIK_REQUIRE_GUI=1.
set -euo pipefail
app=$1
helper=$2
driver=$3
shots=$4
skip() {
  if [ "${RAVIK_REQUIRE_GUI:-0}" = 1 ]; then
    echo "FAILED: $* (RAVIK_REQUIRE_GUI=1)" >&2
    exit 1
  fi
  echo "skipped: $*"
  exit 77
}
# Debian's interpreter, which the python3-pyatspi package installs into.
python=/usr/bin/python3
command -v Xvfb >/dev/null || skip "Xvfb is missing (Debian's xvfb)"
command -v dbus-run-session >/dev/null || skip "dbus-run-session is missing (Debian's dbus)"
"$python" -c 'import pyatspi' 2>/dev/null || skip "pyatspi is missing (Debian's python3-pyatspi)"
command -v import >/dev/null || skip "import is missing (Debian's imagemagick)"
[ "$(id -u)" = 0 ] || skip "loop devices need root"
mkdir -p "$shots"
work=$(mktemp -d)
xvfb=""
cleanup() {
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
for size in 1280x800 800x600; do
  echo "== window at $size"
  # Xvfb picks a free display and writes its number once it accepts
  # clients, so nothing races its start; -noreset keeps it from resetting
  # (and refusing connections) each time its last client leaves, as the
  # accessibility bus launcher does right at the start.
  : >"$work/display"
  Xvfb -displayfd 5 -screen 0 "${size}x24" -nolisten tcp -noreset 5>"$work/display" 2>"$work/xvfb.log" &
  xvfb=$!
  # Ready once it has written its display number and its socket is there.
  for _ in $(seq 600); do
    [ -s "$work/display" ] && [ -S "/tmp/.X11-unix/X$(head -n 1 "$work/display")" ] && break
    kill -0 "$xvfb" 2>/dev/null || { cat "$work/xvfb.log"; exit 1; }
    sleep 0.1
  done
  [ -S "/tmp/.X11-unix/X$(head -n 1 "$work/display")" ] ||
    { echo "FAILED: Xvfb did not start" >&2; exit 1; }
  DISPLAY=:$(head -n 1 "$work/display") dbus-run-session -- "$python" "$driver" "$app" "$helper" "$shots" "$size"
  kill "$xvfb"
  wait "$xvfb" 2>/dev/null || true
  xvfb=""
done
