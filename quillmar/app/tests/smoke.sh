#!/usr/bin/env bash
# Starts quillmar on a virtual X server, types `echo hello` and looks for it
# on the screen twice: the command line and its output.
#   smoke.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
E2E_NAME=smoke
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  e2e_open || return 1
  xdotool type --delay 20 "echo hello"
  xdotool key Return
  e2e_check "$E2E_FINDER" "$E2E_WORK/shot.png" hello 2 "#E1E6EE" "#0E1117" >/dev/null
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
e2e_xvfb on_screen
e2e_finish $? "${3:-}" "'hello' was not found on the screen"
