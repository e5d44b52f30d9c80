#!/usr/bin/env bash
# Starts quillmar on a virtual X server and checks a screenshot of its
# window: the sidebar shows the hairline above Settings and the drawn icons
# of the Local, SSH Hosts, Keys and Snippets headers and of Settings.
#   sidebar_look_e2e.sh <quillmar> <check_sidebar_on_screen> [screenshot to keep]
set -u
E2E_NAME=sidebar_look_e2e
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  e2e_open || return 1
  # The pointer away from the sidebar, so no row is hovered.
  xdotool mousemove --window "$wid" 700 400
  E2E_SNAP_WINDOW=$wid e2e_check_shot 230 4
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
e2e_xvfb on_screen
e2e_finish $? "${3:-}" "the sidebar did not show its icons and hairline"
