#!/usr/bin/env bash
# The kitty keyboard protocol in the real window: a program asks for all keys
# with event types, and a typed "a" reaches it as a press and a release.
#   kitty.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
E2E_NAME=kitty
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  e2e_open || return 1
  # The mode's own report (^[[?11u), read back by cat, says the terminal
  # took the mode, and cat reads raw keys, before "a" is pressed.
  xdotool type --delay 20 "printf '\e[>11u\e[?u'; stty raw -echo; cat -v"
  xdotool key Return
  e2e_poll 100 e2e_running cat || e2e_fail "cat did not start"
  e2e_await "^[[?11u" 1 >/dev/null || e2e_fail "the terminal did not report the keyboard mode"
  xdotool key a
  e2e_check "$E2E_FINDER" "$E2E_WORK/shot.png" "^[[97u^[[97;1:3u" >/dev/null
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
e2e_xvfb on_screen
e2e_finish $? "${3:-}" "'^[[97u^[[97;1:3u' was not found on the screen"
