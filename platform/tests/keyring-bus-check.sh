#!/usr/bin/env bash
# Run inside with-keyring.sh: its bus starts no service by itself, so a
# locked keyring finds no password prompter to show on any display.
set -u
names=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.ListActivatableNames) || exit 1
startable=$(grep -o '"[^"]*"' <<<"$names" | grep -vx '"org.freedesktop.DBus"')
[ -z "$startable" ] || { echo "the keyring's bus can start $startable" >&2; exit 1; }
