#!/usr/bin/env bash
# Starts quillmar on a virtual X server, types `echo hello` and looks for it
# on the screen twice: the command line and its output.
#   smoke.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
app=$1
finder=$2
keep=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A quiet shell: no start-up files of the person running the test.
export HOME=$work ZDOTDIR=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share
printf "PS1='$ '\n" >"$work/.zshrc"
export SMOKE_APP=$app SMOKE_FINDER=$finder SMOKE_WORK=$work

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  "$SMOKE_APP" >"$SMOKE_WORK/app.log" 2>&1 &
  pid=$!
  status=1
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  if [ -n "$wid" ]; then
    xdotool windowfocus --sync "$wid" 2>/dev/null || true
    sleep 1
    xdotool type --delay 20 "echo hello"
    xdotool key Return
    for _ in $(seq 1 40); do
      sleep 0.25
      import -window root "$SMOKE_WORK/shot.png" 2>/dev/null || continue
      if "$SMOKE_FINDER" "$SMOKE_WORK/shot.png" hello 2 "#E1E6EE" "#0E1117" >/dev/null; then
        status=0
        break
      fi
    done
  else
    echo "smoke: the quillmar window did not appear" >&2
  fi
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  exit $status
'
status=$?
if [ -n "$keep" ] && [ -f "$work/shot.png" ]; then
  cp "$work/shot.png" "$keep"
fi
if [ $status -ne 0 ]; then
  echo "smoke: 'hello' was not found on the screen" >&2
  cat "$work/app.log" >&2 2>/dev/null
fi
exit $status
