#!/usr/bin/env bash
# The keyboard where it belongs, in the real window on a virtual X server:
# what is typed after a middle click on a tab's chip reaches the shell, and
# the Menu key on the host list opens the menu of the highlighted host (its
# "Remove host…" removes that host from ~/.ssh/config, not the first one).
#   keyboard_e2e.sh <quillmar>
set -u
E2E_NAME=keyboard_e2e
. "$(dirname "$0")/e2e-lib.sh"

windows() { xdotool search --onlyvisible --pid "$pid" 2>/dev/null | wc -l; }
more_windows() { [ "$(windows)" -gt "$1" ]; }
host_gone() { ! grep -q "^Host db-primary" "$E2E_WORK/.ssh/config"; }

on_screen() {
  local w=$E2E_WORK before
  e2e_open || exit 1
  e2e_run_until "echo ready > $w/ready" "$w/ready" || e2e_fail "the shell did not answer"

  # The first chip sits at the left end of the tab strip, right of the
  # sidebar. The keys follow the click in order: the shell's answer shows
  # where they went.
  xdotool mousemove --window "$wid" 270 20 click 2
  e2e_run "echo typed > $w/typed"
  e2e_waitfile "$w/typed" 50 || e2e_fail "what was typed after a middle click on the chip was lost"

  # db-primary is chosen through the filter, which is then emptied: the
  # list shows every host again with db-primary highlighted, and Down from
  # the filter goes back to it. A click focuses the field before the keys
  # after it are taken, and the list follows the filter as it changes.
  xdotool mousemove --window "$wid" 110 58 click 1
  xdotool type --delay 20 "db"
  xdotool key --delay 150 Down
  xdotool mousemove --window "$wid" 110 58 click 1
  xdotool key --delay 150 ctrl+a BackSpace Down
  before=$(windows)
  xdotool key Menu
  e2e_poll 50 more_windows "$before" || e2e_fail "the Menu key opened no menu"
  xdotool key --delay 100 Down Return
  sheet=$(timeout 10 xdotool search --sync --onlyvisible --name "^Remove host$" | head -1)
  [ -n "$sheet" ] || e2e_fail "Remove host… opened no sheet"
  xdotool windowfocus --sync "$sheet" 2>/dev/null || true
  # From the first field back round to the last button, Remove.
  xdotool key --delay 150 shift+Tab Return
  e2e_poll 100 host_gone || e2e_fail "db-primary is still in the config: $(grep '^Host' "$w/.ssh/config" | tr '\n' ' ')"
  grep -q "^Host bastion" "$w/.ssh/config" || e2e_fail "the menu removed bastion, not the highlighted db-primary"
  echo "$E2E_NAME: typed after a middle click; the Menu key removed db-primary, kept bastion"
  e2e_stop
}
e2e_part

export E2E_APP=$1
e2e_home
mkdir -p "$E2E_WORK/.ssh"
chmod 700 "$E2E_WORK/.ssh"
printf 'Host bastion\n  HostName 192.0.2.1\n\nHost db-primary\n  HostName 192.0.2.2\n\nHost web\n  HostName 192.0.2.3\n' \
  >"$E2E_WORK/.ssh/config"
chmod 600 "$E2E_WORK/.ssh/config"
e2e_xvfb on_screen
e2e_finish $? "" ""
