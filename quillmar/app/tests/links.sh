#!/usr/bin/env bash
# Links, find and progress in the real window, on a virtual X server. A
# stand-in xdg-open records what the desktop is asked to open: an OSC 8 link
# Ctrl+clicked records its whole target, a javascript: one nothing. Ctrl+Shift+F,
# a word and Return paint the match in the selection colour; OSC 9;4;1;50
# paints half of the top strip. A Ctrl+drag from a link under mouse
# reporting reaches the program; only a Ctrl+click opens the link.
#   links.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
E2E_NAME=links
. "$(dirname "$0")/e2e-lib.sh"

pixel() {  # x y -> "r,g,b"
  e2e_snap
  shot_pixel "$1" "$2"
}

shot_pixel() {  # x y -> "r,g,b" of the last screenshot
  convert "$E2E_WORK/shot.png" -crop "1x1+$1+$2" -depth 8 txt:- | tail -1 | sed -E "s/.*\(([0-9]+),([0-9]+),([0-9]+).*/\1,\2,\3/"
}

# Shows a link to file NAME of ~/f with link.py and waits until the tab has
# told that output local (a click on a file link is refused without a word
# while the tab cannot tell that the output is local, and for good once a
# look saw it as remote); prints where NAME shows. link.py stays in front,
# printing nothing, until the reply file with .go added exists, so a click's answer
# depends on that output alone.
#   show_local_link NAME
show_local_link() {
  local reply=$E2E_WORK/reply-$1 at
  for _ in $(seq 1 10); do
    rm -f "$reply" "$reply.go"
    xdotool type --delay 10 "python3 link.py $1 $reply"
    xdotool key Return
    e2e_waitfile "$reply" 300 || e2e_fail "the $1 link did not show"
    at=$(e2e_await "f/$1" 1) || e2e_fail "the $1 link is not on screen"
    if grep -q '!~0000' "$reply"; then
      echo "links: the $1 link's output was not told local; shown again" >&2
      : >"$reply.go"
      # Only the next one shows.
      xdotool type --delay 10 "printf '\\033[H\\033[2J'"
      xdotool key Return
      continue
    fi
    echo "$at"
    return 0
  done
  e2e_fail "the $1 link's output was never told local"
}

# Whether the last screenshot has the selection colour at x y.
selection_at() { [ "$(shot_pixel "$1" "$2")" = "44,52,66" ]; }

# The share (%) of the terminal's width that the progress strip covers in the
# last screenshot: the row of the window's top 80 with the most accent pixels,
# measured from its first one to the window's right edge (the terminal runs
# from where the strip starts). Fails when there is no strip.
strip_ratio() {
  convert "$E2E_WORK/shot.png" -crop "${WIDTH}x81+$X+$Y" +repage -depth 8 txt:- |
    awk -F'[,:]' -v w="$WIDTH" '/#FFB74D/ { n[$2]++; if (!($2 in f)) f[$2] = $1 }
      END { best = 0; for (r = 0; r <= 80; r++) if (n[r] > best) { best = n[r]; first = f[r] }
            if (best == 0 || w - first <= 0) exit 1; print int(best * 100 / (w - first)) }'
}

# Whether the strip has reached half and keeps the width it had at the last
# call (its growth is animated); sets ratio.
strip_settled() {
  local previous=$ratio
  ratio=$(strip_ratio) || return 1
  [ "$ratio" -ge 45 ] && [ "$ratio" = "$previous" ]
}

on_screen() {
  local opened=$E2E_WORK/opened at x y before after
  e2e_start || e2e_fail "the quillmar window did not appear"
  trap e2e_stop EXIT
  e2e_await "$ " 1 >/dev/null || e2e_fail "no prompt"

  # The command line shows the pieces apart, the output the whole link.
  xdotool type --delay 10 "printf '\e]8;;%s%s\e\\%s%s\e]8;;\e\\\n' https://example.com /a\;b https://example.com /a\;b"
  xdotool key Return
  at=$(e2e_await "example.com/a;b" 1) || e2e_fail "the link did not show"
  e2e_ctrl_click $(( ${at%,*} + 20 )) $(( ${at#*,} + 6 ))
  e2e_waitfile "$opened" 50
  [ "$(cat "$opened" 2>/dev/null)" = "https://example.com/a;b" ] ||
    e2e_fail "xdg-open got \"$(cat "$opened" 2>/dev/null)\""

  xdotool type --delay 10 "printf '\e]8;;%s%s\e\\%s%s\e]8;;\e\\\n' javascript: alert\\(1\\) JS LINK"
  xdotool key Return
  at=$(e2e_await "JSLINK" 1) || e2e_fail "the javascript link did not show"
  e2e_ctrl_click $(( ${at%,*} + 10 )) $(( ${at#*,} + 6 ))
  # What the clicks refuse shows only as nothing: the notes file opening
  # below, clicked last, says every click before it was dealt with.

  # Files from the local shell: a launcher under an innocent name stays
  # shut, even behind 4 KB of comments, and so does a playlist, each saying
  # why; a plain text file opens.
  mkdir -p "$HOME/f"
  printf '[Desktop Entry]\nType=Application\nExec=xterm\n' >"$HOME/f/readme.txt"
  { head -c 4200 /dev/zero | tr '\0' '#'; printf '\n[Desktop Entry]\nExec=xterm\n'; } >"$HOME/f/late.txt"
  printf '#EXTM3U\nhttp://h.test/s.mp3\n' >"$HOME/f/list.m3u"
  printf 'meeting at ten\n' >"$HOME/f/notes.txt"
  # Prints the link and asks for a screen checksum in one write: the answer
  # (0000 when refused) comes once a look has judged that output.
  cat >"$HOME/f/link.py" <<'LINK'
import os, sys, termios, time, tty
name, reply = sys.argv[1], sys.argv[2]
old = termios.tcgetattr(0)
tty.setraw(0)
link = "file://%s/%s" % (os.getcwd(), name)
os.write(1, ("\033]8;;%s\033\\%s\033]8;;\033\\\r\n\033[1;1;1;1;1;5*y" % (link, link)).encode())
got = b""
while not got.endswith(b"\033\\"):
    data = os.read(0, 64)
    if not data:
        break
    got += data
with open(reply + ".tmp", "wb") as out:
    out.write(got)
os.rename(reply + ".tmp", reply)
while not os.path.exists(reply + ".go"):
    time.sleep(0.05)
termios.tcsetattr(0, termios.TCSADRAIN, old)
LINK
  xdotool type --delay 10 "cd ~/f"
  xdotool key Return
  local name why
  for name in readme.txt late.txt list.m3u notes.txt; do
    at=$(show_local_link "$name") || exit 1
    case $name in
      list.m3u) why="the desktop would not just show it" ;;
      notes.txt) why= ;;
      *) why="it may be a launcher" ;;
    esac
    e2e_ctrl_click $(( ${at%,*} + 20 )) $(( ${at#*,} + 6 ))
    if [ -n "$why" ]; then
      e2e_poll 300 grep -q "did not open .*/f/$name: $why" "$E2E_WORK/app.log" ||
        e2e_fail "no refusal of $name was told"
    else
      e2e_poll 300 grep -q "/f/notes.txt$" "$opened" || e2e_fail "the notes did not open"
    fi
    : >"$E2E_WORK/reply-$name.go"
  done
  ! grep -qi "^javascript:\|alert" "$opened" || e2e_fail "a javascript: link reached xdg-open"
  # Nothing else may open.
  [ "$(tail -n +2 "$opened" | wc -l)" = 1 ] && tail -n +2 "$opened" | grep -q "/f/notes.txt$" ||
    e2e_fail "xdg-open got \"$(tail -n +2 "$opened")\" for the launchers, the playlist and the notes"

  # A program that takes the mouse (1002h, 1006h) gets a Ctrl+drag that
  # starts on a link and leaves it, press to release; only the Ctrl+click
  # opens it.
  cat >"$HOME/f/rec.py" <<'REC'
import os, sys, termios, tty
old = termios.tcgetattr(0)
tty.setraw(0)
os.write(1, b"\033[?1002h\033[?1006h\033]8;;https://example.com/drag\033\\https://example.com/drag\033]8;;\033\\\r\n")
with open(sys.argv[1], "wb") as out:
    while True:
        data = os.read(0, 1024)
        out.write(data)
        out.flush()
        if not data or b"q" in data:
            break
os.write(1, b"\033[?1002l\033[?1006l")
termios.tcsetattr(0, termios.TCSADRAIN, old)
REC
  local rec=$E2E_WORK/rec.out drag="^\e\[<16;[0-9]+;[0-9]+M(\e\[<48;[0-9]+;[0-9]+M)+\e\[<16;[0-9]+;[0-9]+m"
  xdotool type --delay 10 "python3 rec.py $rec"
  xdotool key Return
  # The program prints the link (its own text: no question before it opens)
  # once it reads the terminal raw and has the mouse.
  at=$(e2e_await "example.com/drag" 1) || e2e_fail "the program's link did not show"
  x=$(( ${at%,*} + 10 )); y=$(( ${at#*,} + 6 ))
  xdotool mousemove "$x" "$y" keydown ctrl mousemove_relative 1 0 mousedown 1
  xdotool mousemove_relative 150 0 mousemove_relative 150 0 mouseup 1 keyup ctrl
  e2e_poll 50 grep -qaP "$drag\$" "$rec" ||
    e2e_fail "the drag from the link reached the program as \"$(cat -v "$rec")\""
  e2e_ctrl_click "$x" "$y"
  e2e_poll 50 grep -q "^https://example.com/drag$" "$opened" || e2e_fail "the Ctrl+click did not open the link"
  # What the program got after the drag ends with the q that ends it.
  xdotool type q
  e2e_poll 50 grep -qa "q$" "$rec" || e2e_fail "the program did not get the q"
  grep -qaP "${drag}q\$" "$rec" || e2e_fail "the program got \"$(cat -v "$rec")\" after the drag"
  [ "$(grep -c "^https://example.com/drag$" "$opened")" -eq 1 ] && ! grep -qv "notes.txt$\|^https://example.com/\(a;b\|drag\)$" "$opened" ||
    e2e_fail "xdg-open got \"$(grep -v "notes.txt$" "$opened")\" for the drag and the click"

  # Find.
  xdotool type --delay 10 "echo nee''dle"
  xdotool key Return
  at=$(e2e_await "needle" 1) || e2e_fail "no needle"
  x=$(( ${at%,*} + 2 )); y=$(( ${at#*,} + 2 ))
  before=$(pixel "$x" "$y")
  # The find field takes the keys as soon as Ctrl+Shift+F is handled.
  xdotool key ctrl+shift+f
  xdotool type --delay 20 "needle"
  xdotool key Return
  e2e_until selection_at "$x" "$y"
  after=$(shot_pixel "$x" "$y")
  [ "$after" = "44,52,66" ] || e2e_fail "the match is not in the selection colour ($before -> $after)"
  xdotool key Escape

  # Progress: half of the top strip in the accent colour. The shell's answer
  # says the keys reached it again once the find bar closed.
  xdotool type --delay 10 "printf '\e]9;4;1;50\e\\'; echo>\$E2E_WORK/progress"
  xdotool key Return
  e2e_waitfile "$E2E_WORK/progress" || e2e_fail "the shell did not answer after the find bar closed"
  local X Y WIDTH HEIGHT SCREEN WINDOW ratio=""
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  e2e_until strip_settled
  [ -n "$ratio" ] || e2e_fail "no progress strip"
  [ "$ratio" -ge 45 ] && [ "$ratio" -le 55 ] || e2e_fail "the progress strip covers $ratio % of the width"
  return 0
}
e2e_part

export E2E_APP=$1 E2E_FINDER=$2
e2e_home
mkdir -p "$E2E_WORK/bin"
cat >"$E2E_WORK/bin/xdg-open" <<'STANDIN'
#!/bin/sh
printf '%s\n' "$1" >>"$E2E_WORK/opened"
STANDIN
chmod +x "$E2E_WORK/bin/xdg-open"
unset BROWSER DEFAULT_BROWSER
export PATH="$E2E_WORK/bin:$PATH" XDG_CURRENT_DESKTOP=X-Generic
e2e_xvfb on_screen
e2e_finish $? "${3:-}" ""
