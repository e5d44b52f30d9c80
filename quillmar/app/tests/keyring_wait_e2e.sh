#!/usr/bin/env bash
# Drives the real quillmar on a virtual X server while the Secret Service on
# the bus never answers: the shell runs each typed command all the while,
# each well within the 25 s a call to the silent keyring would hold the window, and once the keyring's time is up the window is
# still live and no snippets file was written.
#   keyring_wait_e2e.sh <quillmar> <with-keyring.sh> <silent-secret-service>
set -u
E2E_NAME=keyring_wait_e2e
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  local w i begun took
  e2e_shell_scratch
  w=$E2E_WORK

  begun=$SECONDS
  e2e_start || e2e_fail "the window did not appear"
  xdotool windowmove --sync "$wid" 0 0 2>/dev/null || true
  xdotool windowfocus --sync "$wid" 2>/dev/null || true
  # Typed keys wait in the X queue while the window is held, so the time is
  # bounded here and not only per try, short of the 25 s a call to the
  # silent keyring would hold the window.
  for _ in $(seq 1 5); do
    e2e_run "echo \$\$ > $w/ready"
    e2e_waitfile "$w/ready" 30 && break
  done
  [ -s "$w/ready" ] || e2e_fail "the shell did not answer within 15 seconds of the window showing"
  # The Snippets section unfolded, to show what it waits for.
  xdotool mousemove --window "$wid" 16 245 click 1
  # Commands one after the other while the keyring is silent: the store
  # waits 30 s for it, the test keeps busy until well into that wait.
  i=0
  while [ $((SECONDS - begun)) -lt 20 ] || [ "$i" -lt 10 ]; do
    i=$((i + 1))
    took=$(date +%s%N)
    e2e_run "echo $i > $w/command$i"
    e2e_waitfile "$w/command$i" 120 || e2e_fail "command $i did not run within twelve seconds"
    echo "$E2E_NAME: command $i ran after $(( ($(date +%s%N) - took) / 1000000 )) ms"
    [ "$i" != 5 ] || [ -z "${QM_E2E_KEEP:-}" ] || import -window root "$QM_E2E_KEEP"
  done
  [ ! -e "$XDG_DATA_HOME/quillmar/snippets" ] || e2e_fail "a snippets file was written while the keyring was silent"

  # Past the store's time limit (30 s) the window says the keyring didn't
  # answer; the commands go on meanwhile (the time is the store's).
  while [ $((SECONDS - begun)) -lt 36 ]; do
    i=$((i + 1))
    e2e_run "echo $i > $w/command$i"
    e2e_waitfile "$w/command$i" 120 || e2e_fail "command $i did not run within twelve seconds"
  done
  e2e_run "echo late > $w/late"
  e2e_waitfile "$w/late" 120 || e2e_fail "the shell did not answer after the keyring's time was up"
  kill -0 "$pid" 2>/dev/null || e2e_fail "quillmar is gone"
  [ ! -e "$XDG_DATA_HOME/quillmar" ] || e2e_fail "something was written in $XDG_DATA_HOME/quillmar"
  echo "$E2E_NAME: the shell answered throughout; nothing was written"
  e2e_stop
}
e2e_part

export E2E_APP=$1
e2e_xvfb on_screen bash "$2" --silent "$3"
