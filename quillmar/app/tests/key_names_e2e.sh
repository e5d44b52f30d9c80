#!/usr/bin/env bash
# A screen reader reads the sidebar's row for a key pair whose file name
# holds a direction override with the override spelt out, as the row shows
# it. Runs on a private session bus whose only service is the accessibility
# bus.
#   key_names_e2e.sh <quillmar>
set -u
E2E_NAME=key_names_e2e
. "$(dirname "$0")/e2e-lib.sh"

# Sets row to the name and role of the first accessible whose name holds
# "bup.txt", found breadth first from the application's root.
find_key_row() {
  local queue=(/org/a11y/atspi/accessible/root) path name seen=0
  while [ ${#queue[@]} -gt 0 ] && [ $seen -lt 600 ]; do
    path=${queue[0]}
    queue=("${queue[@]:1}")
    seen=$((seen + 1))
    name=$(e2e_a11y "$path" org.freedesktop.DBus.Properties.Get org.a11y.atspi.Accessible Name)
    if [[ "$name" == *bup.txt* ]]; then
      row="$name $(e2e_a11y "$path" org.a11y.atspi.Accessible.GetRoleName)"
      return 0
    fi
    # shellcheck disable=SC2207  # paths have no blanks
    queue+=($(e2e_a11y "$path" org.a11y.atspi.Accessible.GetChildren | grep -o "/org/a11y/atspi/accessible/[A-Za-z0-9_]*"))
  done
  return 1
}

on_screen() {
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  e2e_start || e2e_fail "the quillmar window did not appear"
  e2e_a11y_connect
  # The keys are listed once the store has looked at ~/.ssh; a walk of the
  # whole tree takes a few seconds.
  local row=""
  e2e_poll 15 find_key_row
  [ "$row" = "(<'key<U+202E>bup.txt'>,) ('list item',)" ] || e2e_fail "the key row reads ${row:-nothing}"
  e2e_stop
  echo "$E2E_NAME: the key row reads $row"
}
e2e_part

app=$1
for tool in dbus-run-session gdbus /usr/libexec/at-spi-bus-launcher ssh-keygen; do
  command -v "$tool" >/dev/null || { echo "$E2E_NAME: no $tool; skipped"; exit 77; }
done
e2e_home
mkdir -p "$E2E_WORK/.ssh"
chmod 700 "$E2E_WORK/.ssh"
# key, U+202E, bup.txt: drawn as it is stored it would read "keytxt.pub".
ssh-keygen -q -t ed25519 -N '' -C e2e -f "$E2E_WORK/.ssh/key$(printf '\342\200\256')bup.txt" ||
  e2e_finish 1 "" "ssh-keygen failed" /dev/null
e2e_a11y_bus
export E2E_APP=$app
e2e_xvfb on_screen dbus-run-session --config-file="$E2E_WORK/bus.conf" --
e2e_finish $? "" ""
