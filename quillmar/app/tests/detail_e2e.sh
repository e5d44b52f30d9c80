#!/usr/bin/env bash
# Drives the real quillmar on a virtual X server: three local tabs, Alt+2
# shows the second, `exit` there closes it (the default policy closes a
# clean exit), `exit 3` in another keeps it with the session-ended card,
# which Escape dismisses. The card is seen as a large patch of its fill
# colour appearing in a screenshot.
#   detail_e2e.sh <quillmar>
set -u
app=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/.config" "$work/.local/share"
chmod 700 "$work/run"
export HOME=$work ZDOTDIR=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share XDG_RUNTIME_DIR=$work/run
printf "PS1='$ '\n" >"$work/.zshrc"
export E2E_APP=$app E2E_WORK=$work

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  w=$E2E_WORK
  fail() { echo "detail_e2e: $*" >&2; kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; exit 1; }
  waitfile() { for _ in $(seq 1 100); do [ -s "$1" ] && return 0; sleep 0.1; done; return 1; }
  run() { xdotool type --delay 15 "$1"; xdotool key Return; }
  ended() { ! kill -0 "$1" 2>/dev/null || grep -q "^[0-9]* ([^)]*) Z" "/proc/$1/stat" 2>/dev/null; }
  title() { xdotool getwindowname "$wid"; }
  # Pixels of the card fill (the raised colour of the dark theme) on the screen.
  cardPixels() {
    import -window root "$w/shot.png" 2>/dev/null
    /usr/bin/convert "$w/shot.png" -fill black +opaque "#1E242F" -fill white -opaque "#1E242F" -format "%[fx:int(mean*w*h)]" info:
  }

  "$E2E_APP" >"$w/app.log" 2>&1 &
  pid=$!
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  [ -n "$wid" ] || fail "the window did not appear"
  xdotool windowfocus --sync "$wid" 2>/dev/null || true

  for _ in $(seq 1 20); do
    run "echo \$\$ > $w/pid1"
    waitfile "$w/pid1" && break
  done
  [ -s "$w/pid1" ] || fail "the first shell did not answer"
  xdotool key ctrl+shift+t; sleep 0.3
  run "echo \$\$ > $w/pid2"; waitfile "$w/pid2" || fail "no second shell"
  xdotool key ctrl+shift+t; sleep 0.3
  run "echo \$\$ > $w/pid3"; waitfile "$w/pid3" || fail "no third shell"
  pid1=$(cat $w/pid1); pid2=$(cat $w/pid2); pid3=$(cat $w/pid3)
  [ "$pid1" != "$pid2" ] && [ "$pid2" != "$pid3" ] || fail "tabs share a shell"

  xdotool key alt+2; sleep 0.3
  run "echo \$\$ > $w/pid4"; waitfile "$w/pid4" || fail "no answer after Alt+2"
  [ "$(cat $w/pid4)" = "$pid2" ] || fail "Alt+2 did not show the second tab"
  case "$(title)" in *"Local 2"*) ;; *) fail "title after Alt+2: $(title)";; esac

  run "exit"
  for _ in $(seq 1 50); do ended "$pid2" && break; sleep 0.1; done
  ended "$pid2" || fail "exit left the second shell running"
  sleep 0.5
  case "$(title)" in *"Local 2"*) fail "the cleanly ended tab stayed: $(title)";; esac
  run "echo \$\$ > $w/pid5"; waitfile "$w/pid5" || fail "no answer after the tab closed"
  now=$(cat $w/pid5)
  [ "$now" = "$pid3" ] || [ "$now" = "$pid1" ] || fail "the closed tab answered"

  before=$(cardPixels)
  run "exit 3"
  for _ in $(seq 1 50); do ended "$now" && break; sleep 0.1; done
  ended "$now" || fail "exit 3 left the shell running"
  for _ in $(seq 1 30); do case "$(title)" in *"exited 3"*) break;; esac; sleep 0.1; done
  case "$(title)" in *"exited 3"*) ;; *) fail "the tab that exited 3 did not stay: $(title)";; esac
  sleep 0.5
  with=$(cardPixels)
  [ "$with" -gt $((before + 8000)) ] || fail "no session-ended card ($before -> $with card pixels)"
  xdotool key Escape; sleep 0.5
  after=$(cardPixels)
  [ "$after" -lt $((with - 8000)) ] || fail "Escape did not dismiss the card ($with -> $after)"
  echo "detail_e2e: shells $pid1 $pid2 $pid3; card pixels $before -> $with -> $after"

  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  exit 0
'
status=$?
[ $status -eq 0 ] || cat "$work/app.log" >&2 2>/dev/null
exit $status
