#!/usr/bin/env bash
# A full-screen program's two panes, as tmux draws them on the alternate
# screen: Hebrew on the left of a divider, Latin on the right. The rows must
# not be mirrored: the right pane's text stays where it is when the same
# bytes are drawn with spaces in place of the Hebrew, and only the left
# pane's area changes. Then a bar and a number beside Hebrew, as vim and
# less draw them: they show in the same place as on a Latin row below.
#   alt_screen_bidi.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
E2E_NAME="alternate screen bidi"
. "$(dirname "$0")/e2e-lib.sh"

# Where the right pane's text shows (all three rows of it), or nothing.
right_pane_at() {
  e2e_found "RIGHT-PANE" 3
}

# Draws the panes (with Hebrew when asked) and waits for them; prints where
# the right pane's text is.
panes() {
  e2e_run "sh ~/panes.sh $1"
  e2e_until right_pane_at >/dev/null || return 1
  local at
  at=$(right_pane_at) || return 1
  cp "$E2E_WORK/shot.png" "$E2E_WORK/panes-$1.png"
  echo "$at"
  # Leaves the program: back to the shell on the normal screen.
  xdotool key Return
  e2e_waitfile "$E2E_WORK/left-$1" 100 || return 1
}

# Where the bar and number of both rows show ("x,y" per row), once they do.
bars_at() {
  local out
  out=$("$E2E_FINDER" "$E2E_WORK/shot.png" "|2       |" 2) || return 1
  echo "$out" | sed "s/found at //"
}

bars() {
  e2e_run "sh ~/panes.sh numbers"
  # The Latin row's bar shows whatever the Hebrew row does.
  e2e_until e2e_found "shalom      |2" 1 >/dev/null || e2e_fail "the rows with a bar and a number did not show"
  local at
  at=$(e2e_until -n 8 bars_at) || e2e_fail "the bar and number beside Hebrew moved"
  xdotool key Return
  e2e_waitfile "$E2E_WORK/left-numbers" 100 || e2e_fail "the program with the numbers did not end"
  local first second
  first=$(echo "$at" | sed -n 1p)
  second=$(echo "$at" | sed -n 2p)
  [ "$(echo "$at" | wc -l)" = 2 ] && [ "${first%,*}" = "${second%,*}" ] && [ "${first#*,}" != "${second#*,}" ] ||
    e2e_fail "the bar and number beside Hebrew are not where the Latin row has them: ${at//$'\n'/ }"
}

on_screen() {
  e2e_open || return 1
  E2E_SNAP_WINDOW=$wid
  local with without
  with=$(panes hebrew) || e2e_fail "the panes with Hebrew did not show unmirrored"
  without=$(panes blank) || e2e_fail "the panes without Hebrew did not show"
  bars
  e2e_stop
  [ "$with" = "$without" ] || { echo "$E2E_NAME: the right pane moved: $with with Hebrew, $without without" >&2; return 1; }
  # The Hebrew itself is drawn: the two pictures differ, left of the pane.
  local x=${with%,*} y=${with#*,} diff
  diff=$(compare -metric AE "$E2E_WORK/panes-hebrew.png" "$E2E_WORK/panes-blank.png" null: 2>&1)
  [ "${diff%% *}" != 0 ] || { echo "$E2E_NAME: no Hebrew drawn" >&2; return 1; }
  # The band of the panes' rows only: a stall hint may come and go above them.
  right=$(compare -metric AE -extract "$(identify -format '%w' "$E2E_WORK/panes-blank.png" | awk -v x="$x" -v y="$y" '{ print $1 - x + 12 "x120+" x - 12 "+" (y > 20 ? y - 20 : 0) }')" \
    "$E2E_WORK/panes-hebrew.png" "$E2E_WORK/panes-blank.png" null: 2>&1)
  [ "${right%% *}" = 0 ] || { echo "$E2E_NAME: the right pane's area changed ($right pixels)" >&2; return 1; }
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
# The program: the alternate screen, each row placed cell by cell (the left
# pane, a divider in the middle, the right pane), then a wait for Return.
# The rows sit below where the stall hint would show: a program waiting in
# canonical mode early in a session may bring it up on a slow machine.
cat >"$E2E_WORK/panes.sh" <<'EOF'
set -- "$1" $(stty size)
if [ "$1" = numbers ]; then
  printf '\033[?1049h\033[?25l\033[2J\033[8;1H%s\033[9;1H%s' 'שלום        |2       |' 'shalom      |2       |'
  read -r _
  printf '\033[?25h\033[?1049l'
  echo done >~/left-numbers
  exit
fi
left='          '
[ "$1" = hebrew ] && left='שלום עולם '
mid=$(($3 / 2))
printf '\033[?1049h\033[?25l\033[2J'
for row in 8 9 10; do
  printf '\033[%d;2H%s\033[%d;%dH\342\224\202RIGHT-PANE' "$row" "$left" "$row" "$mid"
done
read -r _
printf '\033[?25h\033[?1049l'
echo done >~/"left-$1"
EOF
e2e_xvfb on_screen
e2e_finish $? "${3:-}" "full-screen rows were mirrored" "$E2E_WORK/app.log"
