#!/usr/bin/env bash
# A screen reader reads the sidebar's row for a key pair whose file name
# holds a direction override with the override spelt out, as the row shows
# it. So does it read the key's comment in the Keys pane and its file in Add
# host's list of key files, while the host saved with that file chosen gets
# the file's own path as its IdentityFile line. Runs on a private session bus
# whose only service is the accessibility bus.
#
# The save checks the new lines with ssh, which finds ~ through the password
# database: the test runs in a private mount namespace with a passwd copy
# whose home for this user is the test's.
#   key_names_e2e.sh <quillmar>
set -u
E2E_NAME=key_names_e2e
. "$(dirname "$0")/e2e-lib.sh"

RLO=$(printf '\342\200\256')

# Sets found to the path of the first accessible, breadth first from the
# application's root, whose name holds TEXT (and whose role is ROLE, when
# given), and row to its name and role.
#   find_named TEXT [ROLE]
find_named() {
  local queue=(/org/a11y/atspi/accessible/root) path name role seen=0
  while [ ${#queue[@]} -gt 0 ] && [ $seen -lt 1500 ]; do
    path=${queue[0]}
    queue=("${queue[@]:1}")
    seen=$((seen + 1))
    name=$(e2e_a11y "$path" org.freedesktop.DBus.Properties.Get org.a11y.atspi.Accessible Name)
    if [[ "$name" == *"$1"* ]]; then
      role=$(e2e_a11y "$path" org.a11y.atspi.Accessible.GetRoleName)
      if [ -z "${2:-}" ] || [ "$role" = "('$2',)" ]; then
        found=$path row="$name $role"
        return 0
      fi
    fi
    # shellcheck disable=SC2207  # paths have no blanks
    queue+=($(e2e_a11y "$path" org.a11y.atspi.Accessible.GetChildren | grep -o "/org/a11y/atspi/accessible/[A-Za-z0-9_]*"))
  done
  return 1
}

# Presses the button whose PROPERTY (Name or Description, which holds the
# tooltip) is TEXT, as a screen reader's user does.
#   press PROPERTY TEXT
press() {
  local queue=(/org/a11y/atspi/accessible/root) path seen=0
  while [ ${#queue[@]} -gt 0 ] && [ $seen -lt 1500 ]; do
    path=${queue[0]}
    queue=("${queue[@]:1}")
    seen=$((seen + 1))
    if [ "$(e2e_a11y "$path" org.freedesktop.DBus.Properties.Get org.a11y.atspi.Accessible "$1")" = "(<'$2'>,)" ] &&
      [ "$(e2e_a11y "$path" org.a11y.atspi.Accessible.GetRoleName)" = "('push button',)" ]; then
      e2e_a11y "$path" org.a11y.atspi.Action.DoAction 0 >/dev/null
      return
    fi
    # shellcheck disable=SC2207  # paths have no blanks
    queue+=($(e2e_a11y "$path" org.a11y.atspi.Accessible.GetChildren | grep -o "/org/a11y/atspi/accessible/[A-Za-z0-9_]*"))
  done
  return 1
}

parent_of() {
  e2e_a11y "$1" org.freedesktop.DBus.Properties.Get org.a11y.atspi.Accessible Parent |
    grep -o "/org/a11y/atspi/accessible/[A-Za-z0-9_]*"
}

# Whether accessible PATH is named TEXT, as gdbus prints it.
named() { [ "$(e2e_a11y "$1" org.freedesktop.DBus.Properties.Get org.a11y.atspi.Accessible Name)" = "(<'$2'>,)" ]; }

saved() { grep -q "^Host work\$" "$E2E_WORK/.ssh/quillmar_config" 2>/dev/null; }

on_screen() {
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  e2e_start || e2e_fail "the quillmar window did not appear"
  e2e_a11y_connect
  # The keys are listed once the store has looked at ~/.ssh; a walk of the
  # whole tree takes a few seconds.
  local found="" row=""
  e2e_poll 15 find_named bup.txt || e2e_fail "no row for the key key${RLO}bup.txt"
  [ "$row" = "(<'key<U+202E>bup.txt'>,) ('list item',)" ] || e2e_fail "the key row reads $row"
  echo "$E2E_NAME: the key row reads $row"

  # Add host lists the key's file spelt out; the field gets the path.
  press Description "Add host" || e2e_fail "no Add host button"
  # shellcheck disable=SC2088  # the text shown, not a path to expand
  e2e_poll 50 find_named "~/.ssh/work_" "list item" || e2e_fail "Add host lists no work_${RLO}yek_yolped"
  [ "$row" = "(<'~/.ssh/work_<U+202E>yek_yolped'>,) ('list item',)" ] ||
    e2e_fail "Add host lists the key file as $row"
  echo "$E2E_NAME: Add host lists $row"
  # The box holding the list reads what its field holds.
  local box
  box=$(parent_of "$(parent_of "$found")")
  [ "$(e2e_a11y "$box" org.a11y.atspi.Accessible.GetRoleName)" = "('combo box',)" ] || e2e_fail "no box around the list"
  xdotool windowactivate --sync "$wid" 2>/dev/null || true
  # The alias field has the keyboard; the key file comes three fields after
  # the host name, and Down there takes the one file listed.
  xdotool type --delay 15 work
  xdotool key Tab
  xdotool type --delay 15 192.0.2.7
  xdotool key Tab Tab Tab Down
  # Once the field holds the path, as written, every key has been taken.
  # shellcheck disable=SC2088  # the text shown, not a path to expand
  e2e_poll 100 named "$box" "~/.ssh/work_\\u202eyek_yolped" ||
    e2e_fail "the key file field holds $(e2e_a11y "$box" org.freedesktop.DBus.Properties.Get org.a11y.atspi.Accessible Name)"
  press Name Save || e2e_fail "no Save button"
  e2e_poll 100 saved || e2e_fail "the host was not saved: $(cat "$E2E_WORK/.ssh/quillmar_config" 2>/dev/null)"
  local line
  line=$(grep "IdentityFile" "$E2E_WORK/.ssh/quillmar_config")
  [ "$line" = "    IdentityFile ~/.ssh/work_${RLO}yek_yolped" ] || e2e_fail "the host was saved with: $line"
  echo "$E2E_NAME: the host was saved with the path itself"

  # The Keys pane's Comment column.
  press Description "Open Keys" || e2e_fail "no button that opens Keys"
  e2e_poll 50 find_named moc.elpmaxe || e2e_fail "the Keys pane shows no comment me@${RLO}moc.elpmaxe"
  [ "$row" = "(<'me@<U+202E>moc.elpmaxe'>,) ('tree item',)" ] || e2e_fail "the comment reads $row"
  echo "$E2E_NAME: the comment reads $row"
  e2e_stop
}
e2e_part

app=$1
for tool in dbus-run-session gdbus /usr/libexec/at-spi-bus-launcher ssh-keygen; do
  command -v "$tool" >/dev/null || { echo "$E2E_NAME: no $tool; skipped"; exit 77; }
done
e2e_unshare "$@"
e2e_home
mkdir -p "$E2E_WORK/.ssh"
chmod 700 "$E2E_WORK/.ssh"
e2e_bind_passwd
# key, U+202E, bup.txt: drawn as it is stored it would read "keytxt.pub".
ssh-keygen -q -t ed25519 -N '' -C e2e -f "$E2E_WORK/.ssh/key${RLO}bup.txt" ||
  e2e_finish 1 "" "ssh-keygen failed" /dev/null
# Its public half alone: Add host then lists one key file, the next one.
rm "$E2E_WORK/.ssh/key${RLO}bup.txt"
# Drawn as stored: "work_deploy_key", comment "me@example.com".
ssh-keygen -q -t ed25519 -N '' -C "me@${RLO}moc.elpmaxe" -f "$E2E_WORK/.ssh/work_${RLO}yek_yolped" ||
  e2e_finish 1 "" "ssh-keygen failed" /dev/null
# Already included: the save asks nothing.
printf 'Include quillmar_config\n' >"$E2E_WORK/.ssh/config"
e2e_a11y_bus
export E2E_APP=$app
e2e_xvfb on_screen dbus-run-session --config-file="$E2E_WORK/bus.conf" --
e2e_finish $? "" ""
