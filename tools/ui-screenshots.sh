#!/usr/bin/env bash
# Renders the main window in ready, downloading (collapsed and expanded),
# pause with low space, finished, md5checking, checkrecover and
# checkfinished, the settings and close dialogs, the question before
# installing and a message box, on a private Xvfb display; writes one PNG
# each. The texts follow the locale as in the program:
#   tools/ui-screenshots.sh [OUTDIR]     (default: build/ui-screenshots)
#   LANG=en_US.UTF-8 tools/ui-screenshots.sh build/ui-screenshots-en
# Needs xvfb and a CJK font (fonts-noto-cjk); builds lf_ui_shots first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${LF_BUILD_DIR:-$here/build}
out=${1:-$build/ui-screenshots}
cmake --build "$build" --target lf_ui_shots -j2 >/dev/null
mkdir -p "$out"

# A free display number with no X server on it.
display=
for n in $(seq 90 130); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free X display" >&2; exit 1; }

Xvfb ":$display" -screen 0 640x520x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null || true' EXIT
# Wait until the server answers.
for _ in $(seq 1 100); do
    if DISPLAY=":$display" xdpyinfo >/dev/null 2>&1; then break; fi
    sleep 0.05
done
sleep 0.3
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$build/app/ui/lf_ui_shots" "$out"
