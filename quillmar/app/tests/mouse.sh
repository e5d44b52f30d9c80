#!/usr/bin/env bash
# The mouse and the clipboard in the real window, on a virtual X server: in a
# running `cat`, a typed word is double-clicked and pasted with the middle
# button, then copied and pasted with Ctrl+Shift+C / Ctrl+Shift+V; after
# `seq 1 300` the wheel brings the command line back from the scrollback.
#   mouse.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
app=$1
finder=$2
keep=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work ZDOTDIR=$work
printf "PS1='$ '\n" >"$work/.zshrc"
export MOUSE_APP=$app MOUSE_FINDER=$finder MOUSE_WORK=$work

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  shot="$MOUSE_WORK/shot.png"
  fail() { echo "mouse: $*" >&2; exit 1; }
  # Waits until the text shows at least n times; prints where it first is.
  await() {
    local text=$1 n=$2 tries=${3:-40} out
    for _ in $(seq 1 "$tries"); do
      sleep 0.25
      import -window root "$shot" 2>/dev/null || continue
      if out=$("$MOUSE_FINDER" "$shot" "$text" "$n"); then
        echo "$out" | head -1 | sed "s/found at //"
        return 0
      fi
    done
    return 1
  }
  count() {
    import -window root "$shot" 2>/dev/null
    "$MOUSE_FINDER" "$shot" "$1" 1 | grep -c "found at"
  }

  "$MOUSE_APP" >"$MOUSE_WORK/app.log" 2>&1 &
  pid=$!
  trap "kill $pid 2>/dev/null; wait $pid 2>/dev/null" EXIT
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  [ -n "$wid" ] || fail "the quillmar window did not appear"
  xdotool windowfocus --sync "$wid" 2>/dev/null || true
  await "$ " 1 >/dev/null || fail "no prompt"
  # A quiet `cat` this soon after the start gets the stall banner over the
  # top rows: the test works below it.
  xdotool key Return Return Return Return Return Return
  sleep 0.3
  xdotool type --delay 20 "cat"
  xdotool key Return
  sleep 0.5
  xdotool type --delay 20 "hello"
  at=$(await hello 1) || fail "the typed word did not show"
  x=$(( ${at%,*} + 3 )); y=$(( ${at#*,} + 6 ))

  # A double click selects the word; the middle button pastes it.
  xdotool mousemove "$x" "$y" click --repeat 2 --delay 60 1
  sleep 0.4
  xdotool click 2
  sleep 0.3
  xdotool key Return
  await hellohello 2 >/dev/null || fail "the middle button did not paste the double-clicked word"

  # The same through the clipboard.
  at=$(await hellohello 1) || fail "lost the line"
  x=$(( ${at%,*} + 3 )); y=$(( ${at#*,} + 6 ))
  xdotool mousemove "$x" "$y" click --repeat 2 --delay 60 1
  sleep 0.4
  xdotool key ctrl+shift+c
  sleep 0.2
  xdotool key ctrl+shift+v
  sleep 0.3
  xdotool key Return
  await hellohello 4 >/dev/null || fail "Ctrl+Shift+C / Ctrl+Shift+V did not copy and paste"

  # Scrollback: the wheel brings the command line back.
  xdotool key ctrl+d
  sleep 0.3
  xdotool type --delay 20 "seq 1 300"
  xdotool key Return
  await 300 1 >/dev/null || fail "seq printed nothing"
  sleep 0.3
  [ "$(count "seq 1 300")" -eq 0 ] || fail "the command line should have scrolled away"
  xdotool mousemove "$x" "$y"
  for _ in $(seq 1 8); do
    xdotool click --repeat 50 --delay 2 4
    await "seq 1 300" 1 2 >/dev/null && exit 0
  done
  fail "the wheel did not bring back the start of the output"
'
status=$?
if [ -n "$keep" ] && [ -f "$work/shot.png" ]; then
  cp "$work/shot.png" "$keep"
fi
if [ $status -ne 0 ]; then
  cat "$work/app.log" >&2 2>/dev/null
fi
exit $status
