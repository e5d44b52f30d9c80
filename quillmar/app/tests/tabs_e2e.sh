#!/usr/bin/env bash
# Drives the real quillmar on a virtual X server: a first shell, Ctrl+Shift+T
# for a second one (another process), Alt+1 back to the first, Ctrl+Shift+W
# to close it, Ctrl+= to grow the font (fewer columns). The shells report
# through files; the start-up figures are printed from the log.
#   tabs_e2e.sh <quillmar>
set -u
app=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/.config" "$work/.local/share"
chmod 700 "$work/run"
export HOME=$work ZDOTDIR=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share \
  XDG_RUNTIME_DIR=$work/run QUILLMAR_PROFILE=1
printf "PS1='$ '\n" >"$work/.zshrc"
export E2E_APP=$app E2E_WORK=$work

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  w=$E2E_WORK
  fail() { echo "tabs_e2e: $*" >&2; kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; exit 1; }
  waitfile() { for _ in $(seq 1 100); do [ -s "$1" ] && return 0; sleep 0.1; done; return 1; }
  run() { xdotool type --delay 15 "$1"; xdotool key Return; }
  ended() { ! kill -0 "$1" 2>/dev/null || grep -q "^[0-9]* ([^)]*) Z" "/proc/$1/stat" 2>/dev/null; }

  "$E2E_APP" >"$w/app.log" 2>&1 &
  pid=$!
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  [ -n "$wid" ] || fail "the window did not appear"
  xdotool windowfocus --sync "$wid" 2>/dev/null || true

  # The first shell: retried until it answers, since it may still be starting.
  for _ in $(seq 1 20); do
    run "echo \$\$ > $w/pid1; tput cols > $w/cols1"
    waitfile "$w/cols1" && break
  done
  [ -s "$w/pid1" ] || fail "the first shell did not answer"
  pid1=$(cat "$w/pid1")

  xdotool key ctrl+shift+t
  sleep 0.3
  run "echo \$\$ > $w/pid2"
  waitfile "$w/pid2" || fail "Ctrl+Shift+T gave no second shell"
  pid2=$(cat "$w/pid2")
  [ "$pid1" != "$pid2" ] || fail "the second tab runs the first shell ($pid1)"

  xdotool key alt+1
  sleep 0.2
  run "echo \$\$ > $w/pid3"
  waitfile "$w/pid3" || fail "no answer after Alt+1"
  [ "$(cat "$w/pid3")" = "$pid1" ] || fail "Alt+1 did not return to the first shell"

  xdotool key ctrl+shift+w
  for _ in $(seq 1 50); do ended "$pid1" && break; sleep 0.1; done
  ended "$pid1" || fail "Ctrl+Shift+W left the first shell ($pid1) running"
  run "echo \$\$ > $w/pid4"
  waitfile "$w/pid4" || fail "no answer after Ctrl+Shift+W"
  [ "$(cat "$w/pid4")" = "$pid2" ] || fail "closing the first tab did not leave the second active"

  xdotool key ctrl+equal ctrl+equal ctrl+equal
  sleep 0.3
  run "tput cols > $w/cols2"
  waitfile "$w/cols2" || fail "no answer after Ctrl+="
  cols1=$(cat "$w/cols1"); cols2=$(cat "$w/cols2")
  [ "$cols2" -lt "$cols1" ] || fail "Ctrl+= did not enlarge the font ($cols1 -> $cols2 columns)"
  grep -q "^terminal.fontSize=16" "$w/.config/quillmar/quillmar.conf" || fail "the font size was not stored"
  echo "tabs_e2e: shells $pid1 and $pid2; columns $cols1 -> $cols2"

  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  exit 0
'
status=$?
grep -o "quillmar: first prompt painted.*\|quillmar: new tab first frame.*" "$work/app.log" 2>/dev/null
if [ $status -ne 0 ]; then
  cat "$work/app.log" >&2 2>/dev/null
fi
exit $status
