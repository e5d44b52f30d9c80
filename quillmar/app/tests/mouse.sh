#!/usr/bin/env bash
# The mouse and the clipboard in the real window, on a virtual X server: in a
# running `cat`, a typed word is double-clicked and pasted with the middle
# button, then copied and pasted with Ctrl+Shift+C / Ctrl+Shift+V; after
# `seq 1 300` the wheel brings the command line back from the scrollback.
#   mouse.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
E2E_NAME=mouse
. "$(dirname "$0")/e2e-lib.sh"

# Waits until the word whose top left corner is at "x,y" shows in the
# selection's colour.
selected() {
  e2e_until e2e_colour_in "#2C3442" "40x16+${1%,*}+${1#*,}" 20
}

on_screen() {
  local at x y
  e2e_start || e2e_fail "the quillmar window did not appear"
  trap e2e_stop EXIT
  e2e_await "$ " 1 >/dev/null || e2e_fail "no prompt"
  # A quiet `cat` this soon after the start gets the stall banner over the
  # top rows: the test works below it.
  xdotool key Return Return Return Return Return Return
  xdotool type --delay 20 "cat"
  xdotool key Return
  e2e_poll 100 e2e_running cat || e2e_fail "cat did not start"
  xdotool type --delay 20 "hello"
  at=$(e2e_await hello 1) || e2e_fail "the typed word did not show"
  x=$(( ${at%,*} + 3 )); y=$(( ${at#*,} + 6 ))

  # A double click selects the word; the middle button pastes it.
  xdotool mousemove "$x" "$y" click --repeat 2 --delay 60 1
  selected "$at" || e2e_fail "the double click selected nothing"
  xdotool click 2
  e2e_await hellohello 1 >/dev/null || e2e_fail "the middle button pasted nothing"
  xdotool key Return
  e2e_await hellohello 2 >/dev/null || e2e_fail "the middle button did not paste the double-clicked word"

  # The same through the clipboard.
  at=$(e2e_await hellohello 1) || e2e_fail "lost the line"
  x=$(( ${at%,*} + 3 )); y=$(( ${at#*,} + 6 ))
  xdotool mousemove "$x" "$y" click --repeat 2 --delay 60 1
  selected "$at" || e2e_fail "the double click selected nothing"
  # The application takes the keys in order: the copy is done before the paste.
  xdotool key ctrl+shift+c
  xdotool key ctrl+shift+v
  e2e_await hellohello 3 >/dev/null || e2e_fail "Ctrl+Shift+V pasted nothing"
  xdotool key Return
  e2e_await hellohello 4 >/dev/null || e2e_fail "Ctrl+Shift+C / Ctrl+Shift+V did not copy and paste"

  # Scrollback: the wheel brings the command line back.
  xdotool key ctrl+d
  e2e_poll 100 e2e_not e2e_running cat || e2e_fail "cat did not end on Ctrl+D"
  xdotool type --delay 20 "seq 1 300"
  xdotool key Return
  e2e_await 300 1 >/dev/null || e2e_fail "seq printed nothing"
  # "300" is on the command line too: the output has come once the line is gone.
  e2e_until e2e_absent "seq 1 300" || e2e_fail "the command line should have scrolled away"
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
