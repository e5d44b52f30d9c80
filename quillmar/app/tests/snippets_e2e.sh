#!/usr/bin/env bash
# Drives the real quillmar with a throwaway keyring on a virtual X server: a
# `cat` runs in the first shell, the sidebar filter narrows the snippets to
# one, a double-click on its row writes the command at the prompt (nothing
# runs: `cat` gets it only with the Return typed afterwards).
#   snippets_e2e.sh <quillmar> <with-keyring.sh>
set -u
E2E_NAME=snippets_e2e
. "$(dirname "$0")/e2e-lib.sh"

# The keyring gives HOME and the XDG folders; only the shell's files are ours.
on_screen() {
  local w X Y WIDTH HEIGHT SCREEN WINDOW box rowy got
  w=$(mktemp -d)
  export E2E_WORK=$w ZDOTDIR=$w ENV=$w/.shrc
  trap 'rm -rf "$E2E_WORK"' EXIT
  printf 'PS1="$ "\n' >"$w/.zshrc"
  fail() { echo "snippets_e2e: $*" >&2; cat "$w/app.log" >&2 2>/dev/null; e2e_stop; exit 1; }

  e2e_start || fail "the window did not appear"
  xdotool windowmove --sync "$wid" 0 0 2>/dev/null || true
  xdotool windowfocus --sync "$wid" 2>/dev/null || true
  e2e_run_until "echo \$\$ > $w/ready" "$w/ready" || fail "the shell did not answer"
  # The snippets file is made on first start.
  e2e_waitfile "$XDG_DATA_HOME/quillmar/snippets" 50
  [ -s "$XDG_DATA_HOME/quillmar/snippets" ] || fail "no snippets file was written"

  e2e_run "cat > $w/out"
  e2e_poll 100 e2e_running cat || fail "cat did not start"
  [ -z "${QM_E2E_KEEP:-}" ] || import -window root "$QM_E2E_KEEP"

  # The sidebar of a fresh home: the filter field under the brand header,
  # the Snippets section (folded at first) below Local, SSH Hosts and Keys.
  # Each crop is taken once the sidebar has changed and settled.
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  xdotool mousemove --window "$wid" 16 245 click 1
  xdotool mousemove --window "$wid" 110 60 click 1
  import -window root -crop 230x800+$X+$Y "$w/before.png"
  xdotool key ctrl+a; xdotool type --delay 15 "zzzz-nothing"
  e2e_settled 230x800+$X+$Y "$w/before.png" "$w/none.png" || fail "the sidebar did not follow the filter"
  xdotool key ctrl+a; xdotool type --delay 15 "free space on every"
  e2e_settled 230x800+$X+$Y "$w/none.png" "$w/one.png" || fail "the snippet row did not appear"
  # The lowest line that changed is the one snippet row left.
  box=$(convert "$w/none.png" "$w/one.png" -compose difference -composite -threshold 5% -trim -format "%h %Y" info: 2>/dev/null)
  set -- $box
  [ -n "${2:-}" ] || fail "the snippet row did not appear"
  rowy=$(( $2 + $1 - 5 ))
  # The sidebar shows the double click taken (the row chosen, the filter
  # left), and the command was written to the terminal in that same step:
  # by then a line break in it would have reached cat.
  xdotool mousemove --window "$wid" 60 "$rowy" click --repeat 2 --delay 80 1
  e2e_settled 230x800+$X+$Y "$w/one.png" "$w/chosen.png" || fail "the sidebar did not take the double click"
  [ ! -s "$w/out" ] || fail "something reached cat before Return: $(cat -v "$w/out")"
  xdotool key Return
  e2e_waitfile "$w/out" || fail "the snippet did not reach cat"
  got=$(cat "$w/out")
  [ "$got" = "df -h" ] || fail "cat read \"$got\", not \"df -h\""
  echo "snippets_e2e: cat read \"$got\""
  e2e_stop
}
e2e_part

export E2E_APP=$1
keyring=$2
e2e_xvfb on_screen bash "$keyring"
