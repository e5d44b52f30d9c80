#!/usr/bin/env bash
# Two real quillmar processes on one snippets file, on a virtual X server
# with a throwaway keyring: each adds a snippet through its Snippets pane,
# the second from a list that lacks the first one's. The first window's
# sidebar shows the second one's snippet before it saves anything itself,
# and inserting it runs it there. After both are gone, both snippets are in
# the file.
#   two_windows_e2e.sh <quillmar> <with-keyring.sh> <list_snippets>
set -u
E2E_NAME=two_windows_e2e
. "$(dirname "$0")/e2e-lib.sh"

# Opens the Snippets pane of window WID (of process PID) from the sidebar's
# section header and adds a snippet titled TITLE (command COMMAND, else
# "echo TITLE") through the sheet.
add_snippet() {
  local window=$1 owner=$2 title=$3 command=${4:-echo $3}
  xdotool windowraise "$window" windowfocus --sync "$window" 2>/dev/null || true
  e2e_poll 50 e2e_focused "$window" || fail "window $window did not get the keyboard"
  # The pane in front names no session in the title.
  xdotool mousemove --window "$window" 75 245 click 1
  e2e_poll 100 e2e_titled quillmar "$window" || fail "the Snippets pane did not open: $(xdotool getwindowname "$window")"
  xdotool mousemove --window "$window" 294 114 click 1
  e2e_windows_of "$owner" 2 || fail "the Add Snippet sheet did not open"
  xdotool type --delay 15 "$title"
  xdotool key Tab
  xdotool type --delay 15 "$command"
  # Back to the title line, where Return presses the sheet's Add.
  xdotool key shift+Tab
  xdotool key Return
  e2e_windows_of "$owner" 1 || fail "the Add Snippet sheet did not close"
}

# Whether the sidebar crops ONE and TWO differ; prints the lowest changed row.
row_between() {
  local box
  box=$(convert "$1" "$2" -compose difference -composite -threshold 5% -trim -format "%h %Y" info: 2>/dev/null)
  set -- $box
  [ -n "${2:-}" ] && [ "$1" -gt 4 ] || return 1
  echo $(( $2 + $1 - 5 ))
}

# In window WID, filters the sidebar for TEXT and double-clicks the one
# snippet row left, which writes its command at the prompt.
insert_from_sidebar() {
  local window=$1 text=$2 X Y WIDTH HEIGHT SCREEN rowy=""
  xdotool windowraise "$window" windowfocus --sync "$window" 2>/dev/null || true
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # Each crop is taken once the sidebar has changed and settled.
  xdotool mousemove --window "$window" 16 245 click 1
  xdotool mousemove --window "$window" 110 60 click 1
  import -window root -crop 230x800+$X+$Y "$w/before.png"
  xdotool key ctrl+a; xdotool type --delay 15 "zzzz-nothing"
  e2e_settled 230x800+$X+$Y "$w/before.png" "$w/none.png" || return 1
  xdotool key ctrl+a; xdotool type --delay 15 "$text"
  e2e_settled 230x800+$X+$Y "$w/none.png" "$w/one.png" || return 1
  rowy=$(row_between "$w/none.png" "$w/one.png") || return 1
  xdotool mousemove --window "$window" 60 "$rowy" click --repeat 2 --delay 80 1
}

on_screen() {
  local w first second list
  e2e_shell_scratch
  w=$E2E_WORK
  fail() { echo "$E2E_NAME: $*" >&2; cat "$w/app.log" >&2 2>/dev/null; kill "$first" "$second" 2>/dev/null; exit 1; }

  # One after the other: the first makes the file and the keyring's key.
  e2e_start || fail "the first window did not appear"
  first=$pid
  xdotool windowmove --sync "$wid" 0 0 2>/dev/null || true
  e2e_run_until "echo \$\$ > $w/ready1" "$w/ready1" || fail "the first shell did not answer"
  e2e_waitfile "$XDG_DATA_HOME/quillmar/snippets" 50
  [ -s "$XDG_DATA_HOME/quillmar/snippets" ] || fail "no snippets file was written"
  local one=$wid
  e2e_start || fail "the second window did not appear"
  second=$pid
  xdotool windowmove --sync "$wid" 0 0 2>/dev/null || true
  e2e_run_until "echo \$\$ > $w/ready2" "$w/ready2" || fail "the second shell did not answer"
  local two=$wid

  add_snippet "$two" "$second" "From window two" "echo two > $w/ran-two"
  # Window one has saved nothing since it read the file.
  insert_from_sidebar "$one" "From window two" || fail "window one's sidebar does not list window two's snippet"
  xdotool key Return
  e2e_waitfile "$w/ran-two" || fail "window two's snippet did not run in window one"
  add_snippet "$one" "$first" "From window one"
  [ -z "${QM_E2E_KEEP:-}" ] || import -window root "$QM_E2E_KEEP"
  kill "$first" "$second"
  wait "$first" "$second" 2>/dev/null

  list=$("$E2E_LIST" "$XDG_DATA_HOME/quillmar") || fail "the snippets file could not be read back"
  grep -qx "From window one" <<<"$list" || fail "the first window's snippet is missing: $list"
  grep -qx "From window two" <<<"$list" || fail "the second window's snippet is missing: $list"
  echo "$E2E_NAME: both snippets are in the file"
}
e2e_part

export E2E_APP=$1 E2E_LIST=$3
e2e_xvfb on_screen bash "$2"
