#!/usr/bin/env bash
# An input method in the real window: ibus composes a dead acute and "e",
# the preedit shows at the caret meanwhile, and the commit reaches the
# child as the UTF-8 of "é" (cat -v shows M-CM-)).
#   ibus.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
app=$1
finder=$2
keep=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work ZDOTDIR=$work XDG_CONFIG_HOME=$work/.config XDG_CACHE_HOME=$work/.cache
printf "PS1='$ '\n" >"$work/.zshrc"
export IBUS_APP=$app IBUS_FINDER=$finder IBUS_WORK=$work

dbus-run-session -- xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  ibus-daemon --daemonize --replace --panel=disable >"$IBUS_WORK/ibus.log" 2>&1
  for _ in $(seq 1 40); do ibus engine >/dev/null 2>&1 && break; sleep 0.25; done
  ibus engine xkb:us::eng >>"$IBUS_WORK/ibus.log" 2>&1
  QT_IM_MODULE=ibus "$IBUS_APP" >"$IBUS_WORK/app.log" 2>&1 &
  pid=$!
  status=1
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  if [ -n "$wid" ]; then
    xdotool windowfocus --sync "$wid" 2>/dev/null || true
    sleep 1
    # A steady caret: only the preedit may change the screen.
    xdotool type --delay 20 "printf '"'"'\e[2 q'"'"'; stty raw -echo; cat -v"
    xdotool key Return
    sleep 1
    import -window root "$IBUS_WORK/before.png" 2>/dev/null
    xdotool key dead_acute
    sleep 0.5
    import -window root "$IBUS_WORK/preedit.png" 2>/dev/null
    xdotool key e
    for _ in $(seq 1 40); do
      sleep 0.25
      import -window root "$IBUS_WORK/shot.png" 2>/dev/null || continue
      if "$IBUS_FINDER" "$IBUS_WORK/shot.png" "M-CM-)" >/dev/null; then
        status=0
        break
      fi
    done
    # The preedit changed the screen before anything was committed.
    if [ $status -eq 0 ] && [ "$(compare -metric AE "$IBUS_WORK/before.png" "$IBUS_WORK/preedit.png" null: 2>&1)" = "0" ]; then
      echo "ibus: the preedit was not shown" >&2
      status=1
    fi
  else
    echo "ibus: the quillmar window did not appear" >&2
  fi
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  ibus exit >/dev/null 2>&1
  exit $status
' 2>"$work/dbus.log"
status=$?
if [ -n "$keep" ] && [ -f "$work/shot.png" ]; then
  cp "$work/shot.png" "$keep"
fi
if [ $status -ne 0 ]; then
  echo "ibus: the composed character did not reach the child" >&2
  cat "$work/app.log" "$work/ibus.log" "$work/dbus.log" >&2 2>/dev/null
fi
exit $status
