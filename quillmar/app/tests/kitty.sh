#!/usr/bin/env bash
# The kitty keyboard protocol in the real window: a program asks for all keys
# with event types, and a typed "a" reaches it as a press and a release.
#   kitty.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
app=$1
finder=$2
keep=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work ZDOTDIR=$work
printf "PS1='$ '\n" >"$work/.zshrc"
export KITTY_APP=$app KITTY_FINDER=$finder KITTY_WORK=$work

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  "$KITTY_APP" >"$KITTY_WORK/app.log" 2>&1 &
  pid=$!
  status=1
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  if [ -n "$wid" ]; then
    xdotool windowfocus --sync "$wid" 2>/dev/null || true
    sleep 1
    xdotool type --delay 20 "printf '"'"'\e[>11u'"'"'; stty raw -echo; cat -v"
    xdotool key Return
    sleep 1
    xdotool key a
    for _ in $(seq 1 40); do
      sleep 0.25
      import -window root "$KITTY_WORK/shot.png" 2>/dev/null || continue
      if "$KITTY_FINDER" "$KITTY_WORK/shot.png" "^[[97u^[[97;1:3u" >/dev/null; then
        status=0
        break
      fi
    done
  else
    echo "kitty: the quillmar window did not appear" >&2
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
  echo "kitty: '^[[97u^[[97;1:3u' was not found on the screen" >&2
  cat "$work/app.log" >&2 2>/dev/null
fi
exit $status
