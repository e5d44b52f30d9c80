#!/usr/bin/env bash
# The real quillmar on a virtual X server with a throwaway keyring while the
# test holds the snippets file's lock (`flock`), as a window whose save is
# stuck would: the first start stays live (commands answer, Settings opens)
# and saves the factory set once the lock is free; a snippet added under the
# lock is refused with the sheet still open and nothing written, and the same
# sheet saves it once the lock is free.
#   snippets_lock_e2e.sh <quillmar> <with-keyring.sh> <list_snippets>
set -u
E2E_NAME=snippets_lock_e2e
. "$(dirname "$0")/e2e-lib.sh"

holder=""
# Holds the lock in a process of its own (no fd of it reaches quillmar).
hold_lock() {
  rm -f "$w/held"
  (
    exec 9>"$data/.snippets.quillmar-lock"
    flock 9 && echo held >"$w/held"
    exec sleep 300
  ) &
  holder=$!
  e2e_waitfile "$w/held" 50 || fail "the test could not take the lock"
}
release_lock() {
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  holder=""
}

# The sheet's window: the one of quillmar that is not the main window.
sheet_of() { xdotool search --onlyvisible --pid "$pid" 2>/dev/null | grep -vx "$wid" | tail -1; }
height_of() { xdotool getwindowgeometry --shell "$1" 2>/dev/null | sed -n 's/^HEIGHT=//p'; }
sheet_gone() { [ -z "$(sheet_of)" ]; }
taller_than() { [ "$(height_of "$1")" -gt "$2" ] 2>/dev/null; }

on_screen() {
  local i begun took sheet tall list
  e2e_shell_scratch
  w=$E2E_WORK
  data=$XDG_DATA_HOME/quillmar
  fail() {
    echo "$E2E_NAME: $*" >&2
    cat "$w/app.log" >&2 2>/dev/null
    [ -z "$holder" ] || release_lock
    e2e_stop
    exit 1
  }
  mkdir -p -m 700 "$data"

  # First start: no file, and the lock taken.
  hold_lock
  begun=$SECONDS
  e2e_start || fail "the window did not appear"
  xdotool windowmove --sync "$wid" 0 0 2>/dev/null || true
  # The snippets are read at the first prompt (or half a second after the
  # window shows), once the keyring has answered: the first save of the
  # factory set meets the lock while the shell starts, so that is bounded too
  # (typed keys wait in the X queue while the window is held). A window held
  # by the lock would wait out its writer's ten seconds; a busy machine gets
  # all the time short of that.
  for _ in $(seq 1 3); do
    e2e_run "echo \$\$ > $w/ready"
    e2e_waitfile "$w/ready" 80 && break
  done
  [ -s "$w/ready" ] || fail "the shell did not answer within 24 seconds of the window showing"
  echo "$E2E_NAME: the shell answered $((SECONDS - begun)) s after the start"
  i=0
  while [ $((SECONDS - begun)) -lt 6 ] || [ "$i" -lt 5 ]; do
    i=$((i + 1))
    took=$(date +%s%N)
    e2e_run "echo $i > $w/command$i"
    e2e_waitfile "$w/command$i" 80 || fail "command $i did not run within eight seconds under the held lock"
    echo "$E2E_NAME: command $i ran after $((($(date +%s%N) - took) / 1000000)) ms"
  done
  xdotool key ctrl+comma
  e2e_poll 80 e2e_titled quillmar || fail "Settings did not open within eight seconds: $(xdotool getwindowname "$wid")"
  [ ! -e "$data/snippets" ] || fail "a snippets file was written under the held lock"
  release_lock
  e2e_waitfile "$data/snippets" 300 || fail "the factory set was not saved once the lock was free"
  list=$("$E2E_LIST" "$data") || fail "the snippets file could not be read back"
  [ -n "$list" ] || fail "the saved file holds no snippets"

  # A snippet added from the Snippets pane while the lock is held again.
  hold_lock
  xdotool mousemove --window "$wid" 75 245 click 1
  e2e_poll 100 e2e_titled quillmar || fail "the Snippets pane did not open"
  xdotool mousemove --window "$wid" 294 114 click 1
  e2e_windows_of "$pid" 2 || fail "the Add Snippet sheet did not open"
  sheet=$(sheet_of)
  xdotool type --delay 15 "Saved after the lock"
  xdotool key Tab
  xdotool type --delay 15 "echo after"
  xdotool key shift+Tab
  cp "$data/snippets" "$w/before"
  tall=$(height_of "$sheet")
  xdotool key Return
  # The sheet grows to say why, at once; nothing is written.
  e2e_poll 80 taller_than "$sheet" "$tall" || fail "the sheet showed no answer within eight seconds under the held lock"
  [ "$(sheet_of)" = "$sheet" ] || fail "the sheet closed although the lock was held"
  cmp -s "$w/before" "$data/snippets" || fail "the snippets file changed under the held lock"
  release_lock
  xdotool key Return
  e2e_poll 300 sheet_gone || fail "the sheet did not save once the lock was free"
  list=$("$E2E_LIST" "$data") || fail "the snippets file could not be read back"
  grep -qx "Saved after the lock" <<<"$list" || fail "the snippet is not in the file: $list"
  echo "$E2E_NAME: the window answered under the held lock; both saves landed once it was free"
  e2e_stop
}
e2e_part

export E2E_APP=$1 E2E_LIST=$3
e2e_xvfb on_screen bash "$2"
