#!/usr/bin/env bash
# Links, find and progress in the real window, on a virtual X server. A
# stand-in xdg-open records what the desktop is asked to open: an OSC 8 link
# Ctrl+clicked records its whole target, a javascript: one nothing. Ctrl+Shift+F,
# a word and Return paint the match in the selection colour; OSC 9;4;1;50
# paints half of the top strip.
#   links.sh <quillmar> <find_text_on_screen> [screenshot to keep]
set -u
app=$1
finder=$2
keep=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work ZDOTDIR=$work
printf "PS1='$ '\n" >"$work/.zshrc"
mkdir -p "$work/bin"
cat >"$work/bin/xdg-open" <<'STANDIN'
#!/bin/sh
printf '%s\n' "$1" >>"$LINKS_WORK/opened"
STANDIN
chmod +x "$work/bin/xdg-open"
unset BROWSER DEFAULT_BROWSER
export PATH="$work/bin:$PATH" XDG_CURRENT_DESKTOP=X-Generic
export LINKS_APP=$app LINKS_FINDER=$finder LINKS_WORK=$work

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  shot="$LINKS_WORK/shot.png"
  fail() { echo "links: $*" >&2; exit 1; }
  await() {
    local text=$1 n=$2 tries=${3:-40} out
    for _ in $(seq 1 "$tries"); do
      sleep 0.25
      import -window root "$shot" 2>/dev/null || continue
      if out=$("$LINKS_FINDER" "$shot" "$text" "$n"); then
        echo "$out" | head -1 | sed "s/found at //"
        return 0
      fi
    done
    return 1
  }
  pixel() {  # x y -> "r,g,b"
    import -window root "$shot" 2>/dev/null
    convert "$shot" -crop "1x1+$1+$2" -depth 8 txt:- | tail -1 | sed -E "s/.*\(([0-9]+),([0-9]+),([0-9]+).*/\1,\2,\3/"
  }
  ctrlclick() {
    xdotool mousemove "$1" "$2"
    xdotool keydown ctrl
    sleep 0.2
    xdotool mousemove_relative 1 0
    sleep 0.2
    xdotool click 1
    sleep 0.2
    xdotool keyup ctrl
  }

  "$LINKS_APP" >"$LINKS_WORK/app.log" 2>&1 &
  pid=$!
  trap "kill $pid 2>/dev/null; wait $pid 2>/dev/null" EXIT
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  [ -n "$wid" ] || fail "the quillmar window did not appear"
  xdotool windowfocus --sync "$wid" 2>/dev/null || true
  await "$ " 1 >/dev/null || fail "no prompt"

  # The command line shows the pieces apart, the output the whole link.
  xdotool type --delay 10 "printf '"'"'\e]8;;%s%s\e\\%s%s\e]8;;\e\\\n'"'"' https://example.com /a\;b https://example.com /a\;b"
  xdotool key Return
  at=$(await "example.com/a;b" 1) || fail "the link did not show"
  ctrlclick $(( ${at%,*} + 20 )) $(( ${at#*,} + 6 ))
  for _ in $(seq 1 20); do [ -s "$LINKS_WORK/opened" ] && break; sleep 0.25; done
  [ "$(cat "$LINKS_WORK/opened" 2>/dev/null)" = "https://example.com/a;b" ] ||
    fail "xdg-open got \"$(cat "$LINKS_WORK/opened" 2>/dev/null)\""

  xdotool type --delay 10 "printf '"'"'\e]8;;%s%s\e\\%s%s\e]8;;\e\\\n'"'"' javascript: alert\\(1\\) JS LINK"
  xdotool key Return
  at=$(await "JSLINK" 1) || fail "the javascript link did not show"
  ctrlclick $(( ${at%,*} + 10 )) $(( ${at#*,} + 6 ))
  sleep 1
  [ "$(wc -l <"$LINKS_WORK/opened")" -eq 1 ] || fail "a javascript: link reached xdg-open"

  # Find.
  xdotool type --delay 10 "echo nee'"''"'dle"
  xdotool key Return
  at=$(await "needle" 1) || fail "no needle"
  x=$(( ${at%,*} + 2 )); y=$(( ${at#*,} + 2 ))
  before=$(pixel "$x" "$y")
  xdotool key ctrl+shift+f
  sleep 0.5
  xdotool type --delay 20 "needle"
  xdotool key Return
  sleep 0.5
  after=$(pixel "$x" "$y")
  [ "$after" = "0,166,178" ] || fail "the match is not in the selection colour ($before -> $after)"
  xdotool key Escape
  sleep 0.3

  # Progress: half of the top strip in the accent colour.
  xdotool type --delay 10 "printf '"'"'\e]9;4;1;50\e\\'"'"'"
  xdotool key Return
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  import -window root "$shot"
  # The strip is the accent colour along the terminal'"'"'s top edge; the terminal
  # runs from where the strip starts to the window'"'"'s right edge.
  best=0; first=0
  for row in $(seq "$Y" $(( Y + 80 ))); do
    xs=$(convert "$shot" -crop "${WIDTH}x1+$X+$row" -depth 8 txt:- | grep "#FFB74D" | cut -d, -f1)
    n=$(printf "%s" "$xs" | grep -c . || true)
    if [ "$n" -gt "$best" ]; then best=$n; first=$(printf "%s\n" "$xs" | head -1); fi
  done
  span=$(( WIDTH - first ))
  [ "$span" -gt 0 ] || fail "no progress strip"
  ratio=$(( best * 100 / span ))
  [ "$ratio" -ge 45 ] && [ "$ratio" -le 55 ] || fail "the progress strip covers $ratio % of the width"
  exit 0
'
status=$?
if [ -n "$keep" ] && [ -f "$work/shot.png" ]; then
  cp "$work/shot.png" "$keep"
fi
if [ $status -ne 0 ]; then
  cat "$work/app.log" >&2 2>/dev/null
fi
exit $status
