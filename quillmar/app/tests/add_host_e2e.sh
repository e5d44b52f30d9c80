#!/usr/bin/env bash
# Two real quillmar processes in one fresh home, side by side on a virtual X
# server, each add a host through the Add host pane at about the same time
# and both agree to the Include line: once both show their host saved, each
# host is in ~/.ssh/quillmar_config once and ~/.ssh/config has one Include
# line. Then, with a ~/.ssh/config whose Match exec sleeps, a save that puts
# the Include line above it finishes quickly and never runs that command.
#
# ssh finds ~ through the password database, so the test runs in a private
# mount namespace with a passwd copy whose home for this user is the test's.
#   add_host_e2e.sh <quillmar>
set -u
E2E_NAME=add_host_e2e
. "$(dirname "$0")/e2e-lib.sh"

# Starts a window at X (640 wide); sets pid and wid.
open_at() {
  e2e_start || fail "a quillmar window did not appear"
  xdotool windowmove --sync "$wid" "$1" 0 windowsize --sync "$wid" 640 700 2>/dev/null || true
}

# In window WID of process PID: opens Add host from the sidebar's +, types
# ALIAS and HOSTNAME, and presses Save, which asks about the Include line.
fill_and_save() {
  local window=$1 owner=$2
  xdotool windowraise "$window" windowfocus --sync "$window" 2>/dev/null || true
  xdotool mousemove --window "$window" 211 157 click 1
  # The pane in front names no session in the title.
  e2e_poll 100 e2e_titled quillmar "$window" || fail "Add host did not open in window $window: $(xdotool getwindowname "$window")"
  xdotool type --delay 15 "$3"
  xdotool key Tab
  xdotool type --delay 15 "$4"
  xdotool mousemove --window "$window" 590 679 click 1
  e2e_windows_of "$owner" 2 || fail "no question about the Include line in window $window"
}

# The question of process PID answered with its default, Yes.
answer_yes() {
  local dialog
  dialog=$(xdotool search --onlyvisible --pid "$1" | grep -vx "$2" | tail -1)
  xdotool windowfocus --sync "$dialog" 2>/dev/null || true
  xdotool key Return
}

# Whether window WID shows the "Open ALIAS" button left of Save, which only
# a save that succeeded puts there.
saved_in() {
  local x
  x=$(xdotool getwindowgeometry --shell "$1" | sed -n 's/^X=//p')
  import -window root -crop "200x20+$((x + 340))+670" "$E2E_WORK/button.png" 2>/dev/null || return 1
  [ "$(convert "$E2E_WORK/button.png" -format '%[fx:standard_deviation>0.02]' info: 2>/dev/null)" = 1 ]
}

# Waits up to TENTHS tenths of a second until every window given shows its save.
await_saved() {
  local tenths=$1 window all
  shift
  for _ in $(seq 1 "$tenths"); do
    all=1
    for window in "$@"; do saved_in "$window" || { all=0; break; }; done
    [ $all = 1 ] && return 0
    sleep 0.1
  done
  return 1
}

count_lines() { grep -cx "$1" "$2" 2>/dev/null; }

on_screen() {
  local w=$E2E_WORK first second one two started
  fail() { echo "$E2E_NAME: $*" >&2; cat "$w/app.log" >&2 2>/dev/null; kill "${first:-}" "${second:-}" 2>/dev/null; exit 1; }

  open_at 0
  first=$pid one=$wid
  open_at 640
  second=$pid two=$wid
  fill_and_save "$one" "$first" alpha 192.0.2.11
  fill_and_save "$two" "$second" bravo 192.0.2.12
  # Both answers at once: each save then takes the files' locks in turn.
  answer_yes "$first" "$one"
  answer_yes "$second" "$two"
  await_saved 200 "$one" "$two" || fail "both windows did not report their host saved"
  [ -z "${QM_E2E_KEEP:-}" ] || import -window root "$QM_E2E_KEEP"
  kill "$first" "$second"
  wait "$first" "$second" 2>/dev/null
  [ "$(count_lines "Host alpha" "$w/.ssh/quillmar_config")" = 1 ] &&
    [ "$(count_lines "Host bravo" "$w/.ssh/quillmar_config")" = 1 ] ||
    fail "each host should be in quillmar_config once: $(cat "$w/.ssh/quillmar_config")"
  [ "$(count_lines "Include quillmar_config" "$w/.ssh/config")" = 1 ] ||
    fail "~/.ssh/config should have one Include line: $(cat "$w/.ssh/config")"
  ! ls -a "$w/.ssh" | grep -q "quillmar-tmp" || fail "a temporary file was left: $(ls -a "$w/.ssh")"
  echo "$E2E_NAME: both hosts saved once, with one Include line"

  # A Match exec that would show it ran at once and then hold ssh for 5 s.
  rm -f "$w/.ssh/quillmar_config"
  printf 'Match exec "touch %s/started; sleep 5; touch %s/marker"\n    User u\n' "$w" "$w" >"$w/.ssh/config"
  open_at 0
  first=$pid one=$wid
  fill_and_save "$one" "$first" charlie 192.0.2.13
  started=$(date +%s%N)
  answer_yes "$first" "$one"
  await_saved 100 "$one" || fail "the save next to a slow Match exec did not finish"
  local took=$(( ($(date +%s%N) - started) / 1000000 ))
  # Had ssh read the user's lines, "started" would be there at once.
  [ ! -e "$w/started" ] && [ ! -e "$w/marker" ] || fail "the user's Match exec command ran"
  [ "$(count_lines "Host charlie" "$w/.ssh/quillmar_config")" = 1 ] || fail "charlie is not in quillmar_config"
  head -2 "$w/.ssh/config" | grep -qx "Include quillmar_config" || fail "no Include line: $(cat "$w/.ssh/config")"
  grep -q "^Match exec" "$w/.ssh/config" || fail "the Match exec block is gone"
  e2e_stop
  echo "$E2E_NAME: saved in $took ms without running Match exec"
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
