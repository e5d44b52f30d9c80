#!/usr/bin/env bash
# Keypress to pixels under a virtual X server, quillmar against xterm in the
# same run: keypress_pixels sends 100 keys (x and BackSpace in turn) with
# XTest to each window, whose terminal runs `cat` with a steady caret, and
# times each until DAMAGE reports pixels that really changed. Both windows
# hold a 120x40 grid. With qt_keypress_floor given, a bare Qt widget that
# repaints one cell per key (no pty) is timed too: the toolkit's own floor.
#   bench/keypress_pixels.sh <quillmar> <keypress_pixels> [samples, default 100] [qt_keypress_floor]
set -u
here=$(cd "$(dirname "$0")" && pwd)
app=$(realpath "$1")
probe=$(realpath "$2")
samples=${3:-100}
floor=
[ -z "${4:-}" ] || floor=$(realpath "$4")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BENCH_APP=$app BENCH_WORK=$work BENCH_HERE=$here BENCH_PROBE=$probe BENCH_SAMPLES=$samples BENCH_FLOOR=$floor

xvfb-run -a -s "-screen 0 1920x1200x24" bash -c '
  . "$BENCH_HERE/x-session.sh"
  bench_home
  xdotool mousemove 1919 1199
  if bench_start_quillmar; then
    bench_size_grid 120 40
    bench_type "printf '"'"'\\e[2 q'"'"'; clear; cat"
    sleep 1
    printf "quillmar: " ; "$BENCH_PROBE" "$app_wid" "$BENCH_SAMPLES"
    bench_stop_quillmar
  fi
  if [ -n "$BENCH_FLOOR" ]; then
    "$BENCH_FLOOR" >/dev/null 2>&1 &
    fpid=$!
    fwid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$fpid" | tail -1)
    xdotool windowfocus --sync "$fwid" 2>/dev/null; sleep 1
    printf "qt floor: "; "$BENCH_PROBE" "$fwid" "$BENCH_SAMPLES"
    kill "$fpid"; wait "$fpid" 2>/dev/null
  fi
  xterm -geometry 120x40 -e sh -c "printf '"'"'\\033[2 q'"'"'; exec cat" &
  xpid=$!
  xwid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$xpid" | tail -1)
  xdotool windowfocus --sync "$xwid" 2>/dev/null; sleep 1
  printf "xterm: "; "$BENCH_PROBE" "$xwid" "$BENCH_SAMPLES"
  kill "$xpid"; wait "$xpid" 2>/dev/null
'
