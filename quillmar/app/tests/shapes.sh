#!/usr/bin/env bash
# Starts quillmar on a virtual X server, prints a box, a row of bars and a
# 40 x 40 red sixel picture with printf in its shell, and checks the
# screenshot: the box's borders have no gap, the picture's cells are red.
#   shapes.sh <quillmar> <check_shapes_on_screen> [screenshot to keep]
# QT_SCALE_FACTOR, when set, is passed on to the application.
set -u
E2E_NAME=shapes
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  e2e_open || return 1
  xdotool type --delay 20 "sh ~/show.sh"
  xdotool key Return
  e2e_check e2e_logged "$E2E_WORK/check.log" "$E2E_FINDER" "$E2E_WORK/shot.png"
  local status=$?
  cat "$E2E_WORK/check.log"
  return $status
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
# Typed as one short command; the characters themselves come from the file.
cat >"$E2E_WORK/show.sh" <<'SHOW'
printf '\033[2J\033[H\n\033[38;2;0;255;0m┌──┐\n│  │\n└──┘\033[0m\n\n'
printf '\033[38;2;0;0;255m▁▂▃▄▅▆▇█\033[0m\n\n'
printf '\033Pq#1;2;100;0;0#1!40~-#1!40~-#1!40~-#1!40~-#1!40~-#1!40~-#1!40N\033\\'
printf '\n\n\n\n'
SHOW
e2e_xvfb on_screen
e2e_finish $? "${3:-}" "the screen did not show the shapes"
