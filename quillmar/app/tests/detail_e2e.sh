#!/usr/bin/env bash
# Drives the real quillmar on a virtual X server: three local tabs, Alt+2
# shows the second, `exit` there closes it (the default policy closes a
# clean exit), `exit 3` in another keeps it with the session-ended card,
# which Escape dismisses. The card is seen as a large patch of its fill
# colour appearing in a screenshot; choosing Light in Settings turns that
# patch into the light theme's fill while the card stays.
#   detail_e2e.sh <quillmar>
set -u
E2E_NAME=detail_e2e
. "$(dirname "$0")/e2e-lib.sh"

title() { xdotool getwindowname "$wid"; }
# Pixels of the card fill (the raised colour of the dark theme, or the one
# given) on the screen.
cardPixels() {
  local fill=${1:-#1E242F}
  e2e_snap
  /usr/bin/convert "$E2E_WORK/shot.png" -fill black +opaque "$fill" -fill white -opaque "$fill" -format "%[fx:int(mean*w*h)]" info:
}

# The card drawn in the light theme's fill.
lightCard() { [ "$(cardPixels "#ECEFF3")" -gt 8000 ]; }
# More than N pixels of the dark card's fill; fewer than N of the light one's.
cardAbove() { [ "$(cardPixels)" -gt "$1" ]; }
lightBelow() { [ "$(cardPixels "#ECEFF3")" -lt "$1" ]; }

on_screen() {
  local w=$E2E_WORK pid1 pid2 pid3 now before with after light dark darkText cardTab
  e2e_start || e2e_fail "the window did not appear"

  e2e_run_until "echo \$\$ > $w/pid1" "$w/pid1" || e2e_fail "the first shell did not answer"
  # The title names the tab in front, which has the keyboard; its shell
  # may still be starting.
  xdotool key ctrl+shift+t; e2e_poll 100 e2e_titled "*Local 2" || e2e_fail "no second tab: $(title)"
  e2e_run_until "echo \$\$ > $w/pid2" "$w/pid2" || e2e_fail "no second shell"
  xdotool key ctrl+shift+t; e2e_poll 100 e2e_titled "*Local 3" || e2e_fail "no third tab: $(title)"
  e2e_run_until "echo \$\$ > $w/pid3" "$w/pid3" || e2e_fail "no third shell"
  pid1=$(cat $w/pid1); pid2=$(cat $w/pid2); pid3=$(cat $w/pid3)
  [ "$pid1" != "$pid2" ] && [ "$pid2" != "$pid3" ] || e2e_fail "tabs share a shell"

  xdotool key alt+2; e2e_poll 50 e2e_titled "*Local 2*"
  e2e_run "echo \$\$ > $w/pid4"; e2e_waitfile "$w/pid4" || e2e_fail "no answer after Alt+2"
  [ "$(cat $w/pid4)" = "$pid2" ] || e2e_fail "Alt+2 did not show the second tab"
  case "$(title)" in *"Local 2"*) ;; *) e2e_fail "title after Alt+2: $(title)";; esac

  e2e_run "exit"
  e2e_poll 50 e2e_ended "$pid2" || e2e_fail "exit left the second shell running"
  e2e_poll 50 e2e_not e2e_titled "*Local 2*"
  case "$(title)" in *"Local 2"*) e2e_fail "the cleanly ended tab stayed: $(title)";; esac
  e2e_run "echo \$\$ > $w/pid5"; e2e_waitfile "$w/pid5" || e2e_fail "no answer after the tab closed"
  now=$(cat $w/pid5)
  [ "$now" = "$pid3" ] || [ "$now" = "$pid1" ] || e2e_fail "the closed tab answered"

  before=$(cardPixels)
  e2e_run "exit 3"
  e2e_poll 50 e2e_ended "$now" || e2e_fail "exit 3 left the shell running"
  e2e_poll 30 e2e_titled "*exited 3*"
  case "$(title)" in *"exited 3"*) ;; *) e2e_fail "the tab that exited 3 did not stay: $(title)";; esac
  e2e_poll 50 cardAbove $((before + 8000))
  with=$(cardPixels)
  [ "$with" -gt $((before + 8000)) ] || e2e_fail "no session-ended card ($before -> $with card pixels)"

  # Light in Settings (the second choice under Appearance, at the top of the
  # pane), then back to the tab with the card: the same card, in light.
  cardTab=2; [ "$now" = "$pid1" ] && cardTab=1
  xdotool key ctrl+comma
  # The Settings tab names no session in the title.
  e2e_poll 40 e2e_not e2e_titled "*exited 3*"
  case "$(title)" in *"exited 3"*) e2e_fail "Ctrl+, did not open Settings: $(title)";; esac
  xdotool mousemove --window "$wid" 290 131 click 1
  xdotool key "alt+$cardTab"
  e2e_until lightCard || e2e_fail "no card in the light fill after Light was clicked (is Light still at 290,131?)"
  dark=$(cardPixels)
  light=$(cardPixels "#ECEFF3")
  [ "$dark" -lt $((with - 8000)) ] || e2e_fail "the card kept the dark fill after Light was clicked ($with -> $dark; is Light still at 290,131?)"
  # Nor does its title keep the dark theme's text colour.
  darkText=$(cardPixels "#E1E6EE")
  [ "$darkText" -lt 20 ] || e2e_fail "$darkText pixels still in the dark theme's text colour"
  xdotool key Escape; e2e_poll 50 lightBelow $((light - 8000))
  after=$(cardPixels "#ECEFF3")
  [ "$after" -lt $((light - 8000)) ] ||
    e2e_fail "no card in the light fill, or Escape did not dismiss it ($light -> $after light pixels)"
  echo "detail_e2e: shells $pid1 $pid2 $pid3; dark card pixels $before -> $with -> $dark; light $light -> $after;" \
    "dark text $darkText"
  e2e_stop
}
e2e_part

export E2E_APP=$1
e2e_home
e2e_xvfb on_screen
status=$?
[ $status -eq 0 ] || cat "$E2E_WORK/app.log" >&2 2>/dev/null
exit $status
