#!/usr/bin/env bash
# Drives the real quillmar on a virtual X server: Ctrl+Shift+W on a tab whose
# shell runs `sleep 1000` shows a question window; Escape keeps the tab (the
# shell answers once the sleep is interrupted); a second Ctrl+Shift+W and
# Return close it and end the shell and its sleep.
#   close_question_e2e.sh <quillmar>
set -u
E2E_NAME=close_question_e2e
. "$(dirname "$0")/e2e-lib.sh"

both_ended() { e2e_ended "$1" && e2e_ended "$2"; }

# How many windows of the application are visible.
visible_windows() {
  xdotool search --onlyvisible --pid "$pid" 2>/dev/null | wc -l
}

# Waits until N windows are visible, at most five seconds.
await_windows() {
  for _ in $(seq 1 50); do [ "$(visible_windows)" -eq "$1" ] && return 0; sleep 0.1; done
  return 1
}

# Starts `sleep 1000` in the shell SHELL_PID; prints the sleep's pid.
start_sleep() {
  local s
  e2e_run "sleep 1000"
  for _ in $(seq 1 50); do
    s=$(pgrep -P "$1" -x sleep | head -1)
    [ -n "$s" ] && { echo "$s"; return 0; }
    sleep 0.1
  done
  return 1
}

# Focuses the newest visible window, the question, and waits until it has
# the keyboard.
focus_question() {
  local q
  q=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | grep -vx "$wid" | tail -1)
  [ -n "$q" ] && xdotool windowfocus --sync "$q" 2>/dev/null
  e2e_poll 50 e2e_focused "$q"
}

on_screen() {
  local w=$E2E_WORK shell sleeper
  e2e_start || e2e_fail "the window did not appear"
  e2e_run_until "echo \$\$ > $w/pid1" "$w/pid1" || e2e_fail "the shell did not answer"
  shell=$(cat "$w/pid1")
  await_windows 1 || e2e_fail "more than the main window shows at the start"

  sleeper=$(start_sleep "$shell") || e2e_fail "the shell did not start sleep"
  xdotool key ctrl+shift+w
  await_windows 2 || e2e_fail "Ctrl+Shift+W over a running sleep showed no question"
  focus_question
  xdotool key Escape
  await_windows 1 || e2e_fail "Escape left the question open"
  # Closing the tab would have ended them at once; the kept shell's answer
  # below checks it again.
  e2e_ended "$sleeper" && e2e_fail "Escape ended the sleep"
  e2e_ended "$shell" && e2e_fail "Escape ended the shell"
  xdotool windowfocus --sync "$wid" 2>/dev/null
  e2e_poll 50 e2e_focused "$wid"
  xdotool key ctrl+c
  e2e_poll 50 e2e_ended "$sleeper"
  e2e_run_until "echo \$\$ > $w/pid2" "$w/pid2" || e2e_fail "the kept tab's shell does not answer"
  [ "$(cat "$w/pid2")" = "$shell" ] || e2e_fail "another shell answered after Escape"

  sleeper=$(start_sleep "$shell") || e2e_fail "the shell did not start sleep again"
  xdotool key ctrl+shift+w
  await_windows 2 || e2e_fail "the second Ctrl+Shift+W showed no question"
  focus_question
  xdotool key Return
  await_windows 1 || e2e_fail "Return left the question open"
  e2e_poll 60 both_ended "$shell" "$sleeper"
  e2e_ended "$shell" || e2e_fail "Return left the shell ($shell) running"
  e2e_ended "$sleeper" || e2e_fail "Return left the sleep ($sleeper) running"
  kill -0 "$pid" 2>/dev/null || e2e_fail "closing the tab ended the application"
  echo "close_question_e2e: shell $shell and its sleep closed after the question"
  e2e_stop
}
e2e_part

export E2E_APP=$1
e2e_home
e2e_xvfb on_screen
e2e_finish $? "" ""
