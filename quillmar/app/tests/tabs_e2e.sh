#!/usr/bin/env bash
# Drives the real quillmar on a virtual X server: a first shell, Ctrl+Shift+T
# for a second one (another process), Alt+1 back to the first, Ctrl+Shift+W
# to close it, Ctrl+= to grow the font (fewer columns). The shells report
# through files; the start-up figures are printed from the log.
#   tabs_e2e.sh <quillmar>
set -u
E2E_NAME=tabs_e2e
. "$(dirname "$0")/e2e-lib.sh"

# Whether the terminal of PID is narrower than COLUMNS.
cols_below() {
  local now
  now=$(e2e_tty_cols "$1")
  [ -n "$now" ] && [ "$now" -lt "$2" ]
}

on_screen() {
  local w=$E2E_WORK pid1 pid2 cols1 cols2
  e2e_start || e2e_fail "the window did not appear"

  # The first shell: retried until it answers, since it may still be starting.
  e2e_run_until "echo \$\$ > $w/pid1; tput cols > $w/cols1" "$w/cols1" || e2e_fail "the first shell did not answer"
  pid1=$(cat "$w/pid1")

  # The title names the tab in front, which has the keyboard; its shell
  # may still be starting.
  xdotool key ctrl+shift+t
  e2e_poll 100 e2e_titled "*Local 2" || e2e_fail "Ctrl+Shift+T showed no second tab: $(xdotool getwindowname "$wid")"
  e2e_run_until "echo \$\$ > $w/pid2" "$w/pid2" || e2e_fail "Ctrl+Shift+T gave no second shell"
  pid2=$(cat "$w/pid2")
  [ "$pid1" != "$pid2" ] || e2e_fail "the second tab runs the first shell ($pid1)"

  xdotool key alt+1
  e2e_poll 50 e2e_titled "* Local" || e2e_fail "Alt+1 did not show the first tab: $(xdotool getwindowname "$wid")"
  e2e_run "echo \$\$ > $w/pid3"
  e2e_waitfile "$w/pid3" || e2e_fail "no answer after Alt+1"
  [ "$(cat "$w/pid3")" = "$pid1" ] || e2e_fail "Alt+1 did not return to the first shell"

  xdotool key ctrl+shift+w
  e2e_poll 50 e2e_ended "$pid1" || e2e_fail "Ctrl+Shift+W left the first shell ($pid1) running"
  e2e_run "echo \$\$ > $w/pid4"
  e2e_waitfile "$w/pid4" || e2e_fail "no answer after Ctrl+Shift+W"
  [ "$(cat "$w/pid4")" = "$pid2" ] || e2e_fail "closing the first tab did not leave the second active"

  xdotool key ctrl+equal ctrl+equal ctrl+equal
  # Until the terminal's new size reaches the shell's side of it.
  e2e_poll 50 cols_below "$pid2" "$(cat "$w/cols1")"
  e2e_run "tput cols > $w/cols2"
  e2e_waitfile "$w/cols2" || e2e_fail "no answer after Ctrl+="
  cols1=$(cat "$w/cols1"); cols2=$(cat "$w/cols2")
  [ "$cols2" -lt "$cols1" ] || e2e_fail "Ctrl+= did not enlarge the font ($cols1 -> $cols2 columns)"
  grep -q "^terminal.fontSize=16" "$w/.config/quillmar/quillmar.conf" || e2e_fail "the font size was not stored"
  echo "tabs_e2e: shells $pid1 and $pid2; columns $cols1 -> $cols2"
  e2e_stop
}
e2e_part

export E2E_APP=$1 QUILLMAR_PROFILE=1
e2e_home
e2e_xvfb on_screen
status=$?
grep -o "quillmar: first prompt painted.*\|quillmar: new tab first frame.*" "$E2E_WORK/app.log" 2>/dev/null
e2e_finish $status "" ""
