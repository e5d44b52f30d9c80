#!/usr/bin/env bash
# The mouse and the clipboard in the real window, on a virtual X server: in a
# running `cat`, a typed word is double-clicked and pasted with the middle
# button, then copied and pasted with Ctrl+Shift+C / Ctrl+Shift+V; after
# `seq 1 300` the wheel brings the command line back from the scrollback.
#   mouse.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
E2E_NAME=mouse
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  local at x y
  e2e_start || e2e_fail "the quillmar window did not appear"
  trap e2e_stop EXIT
  e2e_await "$ " 1 >/dev/null || e2e_fail "no prompt"
  # A quiet `cat` this soon after the start gets the stall banner over the
  # top rows: the test works below it.
  xdotool key Return Return Return Return Return Return
  sleep 0.3
  xdotool type --delay 20 "cat"
  xdotool key Return
  sleep 0.5
  xdotool type --delay 20 "hello"
  at=$(e2e_await hello 1) || e2e_fail "the typed word did not show"
  x=$(( ${at%,*} + 3 )); y=$(( ${at#*,} + 6 ))

  # A double click selects the word; the middle button pastes it.
  xdotool mousemove "$x" "$y" click --repeat 2 --delay 60 1
  sleep 0.4
  xdotool click 2
  sleep 0.3
  xdotool key Return
  e2e_await hellohello 2 >/dev/null || e2e_fail "the middle button did not paste the double-clicked word"

  # The same through the clipboard.
  at=$(e2e_await hellohello 1) || e2e_fail "lost the line"
  x=$(( ${at%,*} + 3 )); y=$(( ${at#*,} + 6 ))
  xdotool mousemove "$x" "$y" click --repeat 2 --delay 60 1
  sleep 0.4
  xdotool key ctrl+shift+c
  sleep 0.2
  xdotool key ctrl+shift+v
  sleep 0.3
  xdotool key Return
  e2e_await hellohello 4 >/dev/null || e2e_fail "Ctrl+Shift+C / Ctrl+Shift+V did not copy and paste"

  # Scrollback: the wheel brings the command line back.
  xdotool key ctrl+d
  sleep 0.3
  xdotool type --delay 20 "seq 1 300"
  xdotool key Return
  e2e_await 300 1 >/dev/null || e2e_fail "seq printed nothing"
  sleep 0.3
  [ "$(e2e_count "seq 1 300")" -eq 0 ] || e2e_fail "the command line should have scrolled away"
  xdotool mousemove "$x" "$y"
  for _ in $(seq 1 8); do
    xdotool click --repeat 50 --delay 2 4
    e2e_await "seq 1 300" 1 2 >/dev/null && return 0
  done
  e2e_fail "the wheel did not bring back the start of the output"
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
e2e_xvfb on_screen
e2e_finish $? "${3:-}" ""
