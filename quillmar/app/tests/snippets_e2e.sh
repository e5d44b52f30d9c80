#!/usr/bin/env bash
# Drives the real quillmar with a throwaway keyring on a virtual X server: a
# `cat` runs in the first shell, the sidebar filter narrows the snippets to
# one, a double-click on its row writes the command at the prompt (nothing
# runs: `cat` gets it only with the Return typed afterwards).
#   snippets_e2e.sh <quillmar> <with-keyring.sh>
set -u
app=$1
keyring=$2

export E2E_APP=$app
exec bash "$keyring" xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  w=$(mktemp -d)
  trap "rm -rf \"$w\"" EXIT
  fail() { echo "snippets_e2e: $*" >&2; cat "$w/app.log" >&2 2>/dev/null; kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; exit 1; }
  waitfile() { for _ in $(seq 1 100); do [ -s "$1" ] && return 0; sleep 0.1; done; return 1; }
  export ZDOTDIR=$w ENV=$w/.shrc
  printf "PS1=\"$ \"\n" >"$w/.zshrc"

  "$E2E_APP" >"$w/app.log" 2>&1 &
  pid=$!
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  [ -n "$wid" ] || fail "the window did not appear"
  xdotool windowmove --sync "$wid" 0 0 2>/dev/null || true
  xdotool windowfocus --sync "$wid" 2>/dev/null || true
  for _ in $(seq 1 20); do
    xdotool type --delay 15 "echo \$\$ > $w/ready"; xdotool key Return
    waitfile "$w/ready" && break
  done
  [ -s "$w/ready" ] || fail "the shell did not answer"
  # The snippets file is made on first start.
  for _ in $(seq 1 50); do [ -s "$XDG_DATA_HOME/quillmar/snippets" ] && break; sleep 0.1; done
  [ -s "$XDG_DATA_HOME/quillmar/snippets" ] || fail "no snippets file was written"

  xdotool type --delay 15 "cat > $w/out"; xdotool key Return
  sleep 0.5
  [ -z "${QM_E2E_KEEP:-}" ] || import -window root "$QM_E2E_KEEP"

  # The sidebar of a fresh home: the filter field under the brand header,
  # the Snippets section (folded at first) below Local, SSH Hosts and Keys.
  geometry=$(xdotool getwindowgeometry --shell "$wid")
  eval "$geometry"
  xdotool mousemove --window "$wid" 16 245 click 1
  sleep 0.3
  xdotool mousemove --window "$wid" 110 60 click 1
  xdotool key ctrl+a; xdotool type --delay 15 "zzzz-nothing"
  sleep 0.5
  import -window root -crop 230x800+$X+$Y "$w/none.png"
  xdotool key ctrl+a; xdotool type --delay 15 "free space on every"
  sleep 0.5
  import -window root -crop 230x800+$X+$Y "$w/one.png"
  # The lowest line that changed is the one snippet row left.
  box=$(convert "$w/none.png" "$w/one.png" -compose difference -composite -threshold 5% -trim -format "%h %Y" info: 2>/dev/null)
  set -- $box
  [ -n "${2:-}" ] || fail "the snippet row did not appear"
  rowy=$(( $2 + $1 - 5 ))
  xdotool mousemove --window "$wid" 60 "$rowy" click --repeat 2 --delay 80 1
  sleep 0.5
  [ ! -s "$w/out" ] || fail "something reached cat before Return: $(cat -v "$w/out")"
  xdotool key Return
  waitfile "$w/out" || fail "the snippet did not reach cat"
  got=$(cat "$w/out")
  [ "$got" = "df -h" ] || fail "cat read \"$got\", not \"df -h\""
  echo "snippets_e2e: cat read \"$got\""
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  exit 0
'
