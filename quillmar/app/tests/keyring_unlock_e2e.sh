#!/usr/bin/env bash
# The real quillmar on a virtual X server with a real gnome-keyring whose
# login keyring has a password and is locked when the window starts, as after
# an automatic login; the keyring's own password prompt (gcr-prompter) shows
# on the same X server.
#  1. First start, with no snippets file and no key: the window asks the
#     keyring to unlock, so its prompt shows; another program unlocks the
#     keyring while the window waits, and the snippets open: the file is made.
#  2. A later start, the keyring locked again: the prompt shows and is
#     answered only after the 30 seconds the window used to give it; the
#     prompt is still there then and the keyring daemon lives. Once the
#     password is typed the snippets open: one added in the pane is saved.
# The window logs no GLib critical, and the daemon outlives both.
#   keyring_unlock_e2e.sh <quillmar> <list_snippets> <unlock_keyring>
set -u
E2E_NAME=keyring_unlock_e2e
. "$(dirname "$0")/e2e-lib.sh"

readonly password=test-password

fail() {
  echo "$E2E_NAME: $*" >&2
  cat "$E2E_WORK/app.log" >&2 2>/dev/null
  e2e_stop
  exit 1
}

start_keyring() {
  e2e_keyring_start "$1" "$password" || fail "the keyring daemon did not start"
}
stop_keyring() {
  e2e_keyring_stop || fail "the keyring daemon did not stop"
}
locked() {
  gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets/aliases/default \
    --method org.freedesktop.DBus.Properties.Get org.freedesktop.Secret.Collection Locked
}

# Runs COMMAND... (keys for the prompt, which takes the keyboard while it
# shows) until the prompt goes away; three tries.
answer_prompt() {
  local window
  for _ in 1 2 3; do
    window=$(e2e_prompt_window)
    [ -n "$window" ] || return 0
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    xdotool key ctrl+a BackSpace
    "$@"
    e2e_poll 50 e2e_not e2e_prompt_open && return 0
  done
  return 1
}
type_password() {
  xdotool type --delay 20 "$password"
  xdotool key Return
}

# Opens the Snippets pane from the sidebar and adds a snippet titled TITLE
# through its sheet (as two_windows_e2e.sh does).
add_snippet() {
  xdotool windowraise "$wid" windowfocus --sync "$wid" 2>/dev/null || true
  e2e_poll 50 e2e_focused "$wid" || fail "the window did not get the keyboard"
  xdotool mousemove --window "$wid" 75 245 click 1
  e2e_poll 100 e2e_titled quillmar || fail "the Snippets pane did not open: $(xdotool getwindowname "$wid")"
  xdotool mousemove --window "$wid" 294 114 click 1
  e2e_windows_of "$pid" 2 || fail "the Add Snippet sheet did not open: the snippets are not open"
  xdotool type --delay 15 "$1"
  xdotool key Tab
  xdotool type --delay 15 "echo added"
  xdotool key shift+Tab
  xdotool key Return
  e2e_windows_of "$pid" 1 || fail "the Add Snippet sheet did not close"
}

no_critical() {
  ! grep -E "CRITICAL|ever_returned" "$E2E_WORK/app.log" || fail "the window logged a GLib critical"
}

in_session() {
  local started list
  trap e2e_keyring_cleanup EXIT
  mkdir -p "$HOME/.local/share/keyrings"
  start_keyring unlocked
  stop_keyring
  start_keyring locked
  [ "$(locked)" = "(<true>,)" ] || fail "the login keyring is not locked: $(locked)"

  # 1. The first start asks to unlock; another program does.
  e2e_start || fail "the window did not appear"
  e2e_poll 200 e2e_prompt_open || fail "no unlock prompt showed on a first start with the keyring locked"
  [ ! -e "$XDG_DATA_HOME/quillmar/snippets" ] || fail "a snippets file was written while the keyring was locked"
  printf '%s' "$password" | "$E2E_UNLOCK" || fail "the keyring could not be unlocked from outside"
  e2e_waitfile "$XDG_DATA_HOME/quillmar/snippets" 150 || fail "the snippets did not open once the keyring was unlocked"
  list=$("$E2E_LIST" "$XDG_DATA_HOME/quillmar") || fail "the snippets file could not be read back"
  [ -n "$list" ] || fail "the new snippets file holds no snippets"
  # The keyring leaves its prompt to the user, who closes it.
  answer_prompt xdotool key Escape || fail "the prompt left open did not close"
  kill -0 "$e2e_keyring" 2>/dev/null || fail "the keyring daemon died"
  e2e_stop
  no_critical
  echo "$E2E_NAME: the first start asked, and the snippets opened once another program unlocked the keyring"

  # 2. A later start: the prompt waits past the old limit, then is answered.
  stop_keyring
  start_keyring locked
  started=$SECONDS
  e2e_start || fail "the window did not appear again"
  e2e_poll 200 e2e_prompt_open || fail "no unlock prompt showed on a later start"
  while [ $((SECONDS - started)) -lt 35 ]; do
    sleep 1
    kill -0 "$e2e_keyring" 2>/dev/null || fail "the keyring daemon died while its prompt was open"
    e2e_prompt_open || fail "the prompt went away unanswered after $((SECONDS - started)) s"
  done
  kill -0 "$pid" 2>/dev/null || fail "quillmar is gone"
  answer_prompt type_password || fail "the prompt did not take the password"
  [ "$(locked)" = "(<false>,)" ] || fail "the keyring is still locked"
  add_snippet "Added after the prompt"
  e2e_stop
  list=$("$E2E_LIST" "$XDG_DATA_HOME/quillmar") || fail "the snippets file could not be read back"
  grep -qx "Added after the prompt" <<<"$list" || fail "the snippet added after the prompt is not in the file: $list"
  kill -0 "$e2e_keyring" 2>/dev/null || fail "the keyring daemon died"
  no_critical
  echo "$E2E_NAME: the prompt stayed past the old limit, and once answered the snippets opened"
}

on_display() {
  e2e_in_bus in_session
}
e2e_part

export E2E_APP=$1 E2E_LIST=$2 E2E_UNLOCK=$3
e2e_home
e2e_prompter_bus
e2e_xvfb on_display
