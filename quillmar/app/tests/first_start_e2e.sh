#!/usr/bin/env bash
# Two real quillmar windows started at one moment on a first start (no
# snippets file, no key), with a real gnome-keyring on a private bus and a
# virtual X server; once with the login keyring open, once locked at the
# start and unlocked by another program while both windows wait at its
# prompt, and once more so with one window seeing no runtime folder (both
# reach the keyring through one bus). Each window adds a snippet; once both
# are gone a third start opens the snippets and adds one more, and the file
# holds all three.
#   first_start_e2e.sh <quillmar> <list_snippets> <unlock_keyring>
set -u
E2E_NAME=first_start_e2e
. "$(dirname "$0")/e2e-lib.sh"

readonly password=test-password

fail() {
  echo "$E2E_NAME: $*" >&2
  [ -z "${QM_E2E_KEEP:-}" ] || import -window root "$QM_E2E_KEEP"
  echo "the snippets file holds: $("$E2E_LIST" "$XDG_DATA_HOME/quillmar" 2>&1)" >&2
  local log
  for log in "$E2E_WORK"/app*.log; do
    echo "--- $log" >&2
    cat "$log" >&2
  done
  kill "${pids[@]}" 2>/dev/null
  exit 1
}

# A new login keyring with the password, left open ("open") or locked.
fresh_keyring() {
  rm -rf "$HOME/.local/share/keyrings" "$XDG_DATA_HOME/quillmar"
  mkdir -p "$HOME/.local/share/keyrings"
  e2e_keyring_start unlocked "$password" || fail "the keyring daemon did not start"
  [ "$1" = open ] && return 0
  stop_keyring
  e2e_keyring_start locked || fail "the keyring daemon did not start again"
}
stop_keyring() {
  e2e_keyring_stop || fail "the keyring daemon did not stop"
}

# Prompts asked for, and prompts ended, as the bus saw them.
prompt_calls() { grep -c 'interface=org.freedesktop.Secret.Prompt; member=Prompt$' "$E2E_WORK/prompts.log"; }
prompt_ends() { grep -c 'interface=org.freedesktop.Secret.Prompt; member=Completed$' "$E2E_WORK/prompts.log"; }
both_asked() { [ "$(prompt_calls)" -ge 2 ]; }
# Closes the prompt that shows, if one does; true once both have ended.
close_prompts() {
  [ "$(prompt_ends)" -ge 2 ] && return 0
  local window
  window=$(e2e_prompt_window)
  [ -n "$window" ] || return 1
  xdotool windowfocus --sync "$window" 2>/dev/null || true
  xdotool key Escape
  return 1
}

# Starts quillmar number N, its output in app<N>.log, its environment
# changed by the rest of the arguments (as env takes them); sets pid.
start_window() {
  local n=$1
  shift
  env "$@" "$E2E_APP" >"$E2E_WORK/app$n.log" 2>&1 &
  pid=$!
  pids+=("$pid")
}
window_of() {
  wid=$(timeout 60 xdotool search --sync --onlyvisible --pid "$1" | tail -1)
  [ -n "$wid" ] || fail "window $2 did not appear"
  xdotool windowmove --sync "$wid" 0 0 2>/dev/null || true
}

# Adds a snippet titled TITLE through the Snippets pane of window WID of
# process PID (as two_windows_e2e.sh does).
add_snippet() {
  local window=$1 owner=$2 title=$3
  xdotool windowraise "$window" windowfocus --sync "$window" 2>/dev/null || true
  e2e_poll 50 e2e_focused "$window" || fail "window $window did not get the keyboard"
  xdotool mousemove --window "$window" 75 245 click 1
  e2e_poll 100 e2e_titled quillmar "$window" || fail "the Snippets pane did not open: $(xdotool getwindowname "$window")"
  # "Add Snippet" shows once the snippets are open, which a busy window may
  # take a while to reach: clicked again until the sheet opens.
  local tries=0
  xdotool mousemove --window "$window" 294 114 click 1
  until e2e_windows_of "$owner" 2; do
    tries=$((tries + 1))
    [ "$tries" -lt 6 ] || fail "the Add Snippet sheet did not open for \"$title\": the snippets are not open"
    xdotool mousemove --window "$window" 294 114 click 1
  done
  xdotool type --delay 15 "$title"
  xdotool key Tab
  xdotool type --delay 15 "echo added"
  xdotool key shift+Tab
  xdotool key Return
  e2e_windows_of "$owner" 1 || fail "the Add Snippet sheet did not close for \"$title\""
}

# Both windows at once, then a third start; MODE is "open" or "locked".
# With "apart", the second window sees no runtime folder.
first_start() {
  local mode=$1 apart=${2:-} one two list title
  fresh_keyring "$mode"
  pids=()
  dbus-monitor --session "type='method_call',interface='org.freedesktop.Secret.Prompt'" \
    "type='signal',interface='org.freedesktop.Secret.Prompt'" >"$E2E_WORK/prompts.log" 2>&1 &
  local monitor=$!
  pids+=("$monitor")
  e2e_waitfile "$E2E_WORK/prompts.log" 50 || fail "dbus-monitor did not start"
  start_window 1
  local first=$pid
  start_window 2 ${apart:+-u XDG_RUNTIME_DIR}
  local second=$pid
  window_of "$first" one
  one=$wid
  window_of "$second" two
  two=$wid
  if [ "$mode" = locked ]; then
    e2e_poll 300 both_asked || fail "the windows did not both ask to unlock the keyring: $(prompt_calls)"
    e2e_poll 200 e2e_prompt_open || fail "no unlock prompt showed with the keyring locked"
    [ ! -e "$XDG_DATA_HOME/quillmar/snippets" ] || fail "a snippets file was written while the keyring was locked"
    printf '%s' "$password" | "$E2E_UNLOCK" || fail "the keyring could not be unlocked from outside"
  fi
  e2e_waitfile "$XDG_DATA_HOME/quillmar/snippets" 150 || fail "no snippets file was written"
  # The prompts the keyring leaves open, one window's after the other's, are
  # closed before anything is typed: a prompt takes the keyboard.
  [ "$mode" = open ] || e2e_poll 300 close_prompts || fail "the prompts did not close: $(prompt_ends) ended"
  [ "$(prompt_calls)" -eq "$(prompt_ends)" ] || fail "$(prompt_calls) prompts asked for, $(prompt_ends) ended"
  kill "$monitor"
  local asked
  asked=$(prompt_ends)
  add_snippet "$one" "$first" "From the first window ($mode)"
  add_snippet "$two" "$second" "From the second window ($mode)"
  kill "$first" "$second"
  wait "$first" "$second" 2>/dev/null

  start_window 3
  window_of "$pid" three
  add_snippet "$wid" "$pid" "From the next start ($mode)"
  kill "$pid"
  wait "$pid" 2>/dev/null
  list=$("$E2E_LIST" "$XDG_DATA_HOME/quillmar") || fail "the snippets file could not be opened ($mode)"
  for title in "From the first window ($mode)" "From the second window ($mode)" "From the next start ($mode)"; do
    grep -qxF "$title" <<<"$list" || fail "\"$title\" is not in the file: $list"
  done
  stop_keyring
  echo "$E2E_NAME: with the keyring $mode at a first start${apart:+, one window without a runtime folder} ($asked prompts), both windows' snippets and the next start's are kept"
}

in_session() {
  trap e2e_keyring_cleanup EXIT
  first_start open
  first_start locked
  first_start locked apart
}

on_display() {
  e2e_in_bus in_session
}
e2e_part

export E2E_APP=$1 E2E_LIST=$2 E2E_UNLOCK=$3
e2e_home
e2e_prompter_bus
e2e_xvfb on_display
