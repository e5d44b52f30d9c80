#!/usr/bin/env bash
# The keyboard follows the pane brought to the front, in the real window on a
# virtual X server: a host is saved in Add host (its Save button then goes
# grey), Alt+1 goes to the terminal, the sidebar's + brings Add host back,
# and `echo x > $HOME/file` with Return is typed. The line lands in Add
# host's first field (copied out of it, then a host saved from it), and the
# shell behind never runs it.
#
# ssh finds ~ through the password database, so the test runs in a private
# mount namespace with a passwd copy whose home for this user is the test's.
#   pane_keyboard_e2e.sh <quillmar>
set -u
E2E_NAME=pane_keyboard_e2e
. "$(dirname "$0")/e2e-lib.sh"

# Points of the 640x700 window: the + of SSH Hosts and the Save button.
plus() { xdotool mousemove --window "$wid" 211 157 click 1; }
save() { xdotool mousemove --window "$wid" 590 679 click 1; }

saved() { grep -qx "Host $1" "$E2E_WORK/.ssh/quillmar_config" 2>/dev/null; }
clipboard_is() { [ "$(timeout 5 xclip -o -selection clipboard 2>/dev/null)" = "$1" ]; }

on_screen() {
  local w=$E2E_WORK line dialog
  e2e_open || exit 1
  xdotool windowsize --sync "$wid" 640 700 2>/dev/null || true

  plus
  e2e_poll 100 e2e_titled quillmar || e2e_fail "Add host did not come to the front: $(xdotool getwindowname "$wid")"
  xdotool type --delay 15 alpha
  xdotool key Tab
  xdotool type --delay 15 192.0.2.11
  save
  e2e_windows_of "$pid" 2 || e2e_fail "no question about the Include line"
  dialog=$(xdotool search --onlyvisible --pid "$pid" | grep -vx "$wid" | tail -1)
  xdotool windowfocus --sync "$dialog" 2>/dev/null || true
  xdotool key Return
  e2e_poll 150 saved alpha || e2e_fail "alpha was not saved"
  # No window manager hands the keyboard back when the question goes.
  e2e_windows_of "$pid" 1 || e2e_fail "the question stayed"
  xdotool windowfocus --sync "$wid" 2>/dev/null || true

  # The terminal, then Add host again from the sidebar.
  xdotool key alt+1
  e2e_poll 100 e2e_titled "*Local*" || e2e_fail "Alt+1 did not bring the terminal: $(xdotool getwindowname "$wid")"
  e2e_run_until "echo>$w/back" "$w/back" 30 || e2e_fail "the terminal did not take the keyboard after Alt+1"
  plus
  e2e_poll 100 e2e_titled quillmar || e2e_fail "Add host did not come back: $(xdotool getwindowname "$wid")"
  # shellcheck disable=SC2016  # typed as it stands
  line='echo x > $HOME/file'
  e2e_run "$line"

  # The line is in the field that has the keyboard...
  xdotool key ctrl+a ctrl+c
  e2e_poll 50 clipboard_is "$line" ||
    e2e_fail "the typed line is not in Add host (clipboard: '$(timeout 5 xclip -o -selection clipboard 2>/dev/null)')"
  # ...and that field is the first one, Alias: a host saved from it has that name.
  xdotool key ctrl+a
  xdotool type --delay 15 gamma
  xdotool key Tab
  xdotool type --delay 15 192.0.2.12
  save
  e2e_poll 150 saved gamma || e2e_fail "no host saved from the field the line went to: $(grep '^Host' "$w/.ssh/quillmar_config" | tr '\n' ' ')"

  # The shell takes its input in order: once it has answered this, it would
  # have run the line long before.
  xdotool key alt+1
  e2e_poll 100 e2e_titled "*Local*" || e2e_fail "Alt+1 did not bring the terminal back"
  e2e_run_until "echo>$w/after" "$w/after" 30 || e2e_fail "the terminal did not answer at the end"
  [ ! -e "$w/file" ] || e2e_fail "the hidden terminal ran what was typed into Add host"
  echo "$E2E_NAME: the line went to Add host's first field; the hidden shell ran nothing"
  e2e_stop
}
e2e_part

app=$1
e2e_unshare "$@"
e2e_home
mkdir -p "$E2E_WORK/.ssh"
chmod 700 "$E2E_WORK/.ssh"
e2e_bind_passwd
export E2E_APP=$app
e2e_xvfb on_screen
e2e_finish $? "" ""
