#!/usr/bin/env bash
# Starts quillmar on a virtual X server, has the shell print a Hebrew and an
# Arabic line (typed as printf octal escapes, which xdotool types reliably)
# and checks the window's screenshot: the ink of those rows lies at the
# right end, the command line's at the left.
#   bidi_smoke.sh <quillmar> <right_aligned_ink> [screenshot to keep]
set -u
E2E_NAME="bidi smoke"
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  e2e_open || return 1
  xdotool type --delay 10 "clear; printf '\327\251\327\234\327\225\327\235 \327\242\327\225\327\234\327\235\n\331\205\330\261\330\255\330\250\330\247\n'"
  xdotool key Return
  E2E_SNAP_WINDOW=$wid
  e2e_check e2e_logged "$E2E_WORK/check.log" "$E2E_FINDER" "$E2E_WORK/shot.png" 2
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
e2e_xvfb on_screen
e2e_finish $? "${3:-}" "no right-aligned Hebrew and Arabic rows on the screen" \
  "$E2E_WORK/check.log" "$E2E_WORK/app.log"
