#!/usr/bin/env bash
# The Linux terminal habits in the real window, on a virtual X server: after
# `seq 300` in zsh, Shift+PageUp pages the scrollback back to the command
# line and Shift+End returns without typing anything; then a word is copied
# and pasted through the right-click menu and the shell writes it to a file.
#   desktop_habits.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
E2E_NAME=desktop_habits
. "$(dirname "$0")/e2e-lib.sh"

# Right-clicks at x,y and picks the menu's first enabled item: Down from a
# menu opened by the mouse lands on it.
menu_pick() {
  local before
  before=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | wc -l)
  xdotool mousemove "$1" "$2" click 3
  for _ in $(seq 1 50); do
    [ "$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | wc -l)" -gt "$before" ] && break
    sleep 0.1
  done
  [ "$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | wc -l)" -gt "$before" ] || e2e_fail "no menu opened"
  xdotool key Down Return
  for _ in $(seq 1 50); do
    [ "$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | wc -l)" -le "$before" ] && break
    sleep 0.1
  done
}

on_screen() {
  local at x y paged=0
  e2e_start || e2e_fail "the quillmar window did not appear"
  trap e2e_stop EXIT
  e2e_await "$ " 1 >/dev/null || e2e_fail "no prompt"

  # Shift+PageUp pages back to the command line.
  e2e_run "seq 300"
  e2e_await 300 1 >/dev/null || e2e_fail "seq printed nothing"
  # "300" is on the command line too: the output has come once the line is gone.
  e2e_until e2e_absent "seq 300" || e2e_fail "the command line should have scrolled away"
  for _ in $(seq 1 15); do
    xdotool key shift+Prior
    if e2e_await "seq 300" 1 2 >/dev/null; then paged=1; break; fi
  done
  [ "$paged" -eq 1 ] || e2e_fail "Shift+PageUp did not bring back the start of the output"
  xdotool key shift+End
  # Back at the end, where the next line is typed (a wait, not a check).
  e2e_until e2e_absent "seq 300" || true
  # Nothing reached the line editor: the next command runs as typed.
  e2e_run "echo paged >| $E2E_WORK/paged.txt"
  e2e_waitfile "$E2E_WORK/paged.txt" 50 && [ "$(cat "$E2E_WORK/paged.txt")" = paged ] ||
    e2e_fail "the Shift keys typed into the shell"

  # Copy through the menu: a double-clicked word, Copy first in the menu.
  xdotool key ctrl+l
  e2e_run "echo menuword"
  at=$(e2e_await menuword 2) || e2e_fail "the echoed word did not show"
  x=$(( ${at%,*} + 3 )); y=$(( ${at#*,} + 6 ))
  xdotool mousemove "$x" "$y" click --repeat 2 --delay 60 1
  # The word in the selection's colour: selected, there is something to copy.
  e2e_until e2e_colour_in "#2C3442" "40x16+${at%,*}+${at#*,}" 20 || e2e_fail "the double click selected nothing"
  menu_pick "$x" "$y"
  # Paste through the menu: typing dropped the selection, so Copy is greyed
  # out and Paste is the first item the keys reach.
  xdotool type --delay 15 ">| $E2E_WORK/pasted.txt echo "
  menu_pick "$x" "$y"
  xdotool key Return
  e2e_waitfile "$E2E_WORK/pasted.txt" 50 && [ "$(cat "$E2E_WORK/pasted.txt")" = menuword ] ||
    e2e_fail "the menu's Copy and Paste did not carry the word (got '$(cat "$E2E_WORK/pasted.txt" 2>/dev/null)')"
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
e2e_xvfb on_screen
e2e_finish $? "${3:-}" ""
