#!/usr/bin/env bash
# A screen reader reads the real window's terminal over AT-SPI: a word asked
# for at the very start of a screen whose first row is blank, each character,
# and a row as a line, while the window keeps answering. Runs on a private
# session bus whose only service is the accessibility bus.
#   screen_reader_e2e.sh <quillmar>
set -u
E2E_NAME=screen_reader_e2e
. "$(dirname "$0")/e2e-lib.sh"

# The object path of the first accessible whose role is "terminal", found
# breadth first from the application's root.
find_terminal() {
  local queue=(/org/a11y/atspi/accessible/root) path seen=0
  while [ ${#queue[@]} -gt 0 ] && [ $seen -lt 500 ]; do
    path=${queue[0]}
    queue=("${queue[@]:1}")
    seen=$((seen + 1))
    if [ "$(e2e_a11y "$path" org.a11y.atspi.Accessible.GetRoleName)" = "('terminal',)" ]; then
      echo "$path"
      return 0
    fi
    # shellcheck disable=SC2207  # paths have no blanks
    queue+=($(e2e_a11y "$path" org.a11y.atspi.Accessible.GetChildren | grep -o "/org/a11y/atspi/accessible/[A-Za-z0-9_]*"))
  done
  return 1
}

# Sets text to what the terminal reads; whether it is the blank row and two words.
reads_two_words() {
  text=$(e2e_a11y "$terminal" org.a11y.atspi.Text.GetText 0 "int32 -1")
  [[ "$text" == "('\\n  two words\\n\$ "* ]]
}

on_screen() {
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  e2e_open || exit 1
  e2e_a11y_connect
  local terminal
  terminal=$(find_terminal) || e2e_fail "no terminal among the window's accessibles"

  # A blank first row, then two words.
  e2e_run "clear; printf '\\n  two words\\n'"
  local text=""
  e2e_poll 100 reads_two_words
  [[ "$text" == "('\\n  two words\\n\$ "* ]] || e2e_fail "the terminal reads $text"

  local got
  got=$(e2e_a11y "$terminal" org.a11y.atspi.Text.GetTextAtOffset 0 "uint32 1") ||
    e2e_fail "no answer for the word at the start: the window hangs"
  [ "$got" = "('\\n  ', 0, 3)" ] || e2e_fail "the word at the start is $got"
  got=$(e2e_a11y "$terminal" org.a11y.atspi.Text.GetTextAtOffset 4 "uint32 1")
  [ "$got" = "('two', 3, 6)" ] || e2e_fail "the word at 4 is $got"
  got=$(e2e_a11y "$terminal" org.a11y.atspi.Text.GetTextAtOffset 4 "uint32 5")
  [ "$got" = "('  two words\\n', 1, 13)" ] || e2e_fail "the line at 4 is $got"
  # Character by character, the first rows read as they are.
  local walked="" i
  for i in $(seq 0 14); do
    got=$(e2e_a11y "$terminal" org.a11y.atspi.Text.GetTextAtOffset "$i" "uint32 0")
    walked+=$(echo "$got" | sed -n "s/^('\(.*\)', $i, $((i + 1)))$/\1/p")
  done
  [ "$walked" = "\\n  two words\\n\$ " ] || e2e_fail "a walk by character reads '$walked'"
  e2e_stop
  echo "$E2E_NAME: word, line and characters read over AT-SPI"
}
e2e_part

app=$1
for tool in dbus-run-session gdbus /usr/libexec/at-spi-bus-launcher; do
  command -v "$tool" >/dev/null || { echo "$E2E_NAME: no $tool; skipped"; exit 77; }
done
e2e_home
e2e_a11y_bus
export E2E_APP=$app
e2e_xvfb on_screen dbus-run-session --config-file="$E2E_WORK/bus.conf" --
e2e_finish $? "" ""
