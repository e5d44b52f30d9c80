#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks the desktop entry and
# the icons, then starts the installed quillmar from the entry's Exec line
# on a virtual X server: its window, its X class against StartupWMClass, and
# a shell that answers.
#   install_e2e.sh <build dir> <cmake>
set -u
E2E_NAME=install_e2e
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  local w=$E2E_WORK entry=$E2E_PREFIX/share/applications/quillmar.desktop exec_line wm_class want shell
  # Field codes (%U, %f...) stand for files to open; there are none here.
  exec_line=$(sed -n 's/^Exec=//p' "$entry" | head -1 | sed 's/ *%[a-zA-Z]//g')
  [ -n "$exec_line" ] || e2e_fail "the entry has no Exec line"
  # shellcheck disable=SC2086  # the Exec line is a command line
  (cd "$w" && PATH=$E2E_PREFIX/bin:$PATH exec $exec_line) >"$w/app.log" 2>&1 &
  pid=$!
  wid=$(timeout 60 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  [ -n "$wid" ] || e2e_fail "the window of the installed quillmar did not appear"
  [ "$(readlink "/proc/$pid/exe")" = "$E2E_PREFIX/bin/quillmar" ] ||
    e2e_fail "the Exec line started $(readlink "/proc/$pid/exe"), not the installed binary"
  xdotool windowfocus --sync "$wid" 2>/dev/null || true

  # WM_CLASS(STRING) = "instance", "class": the desktop matches the class.
  wm_class=$(xprop -id "$wid" WM_CLASS | sed -n 's/.*= *"\([^"]*\)", *"\([^"]*\)".*/\2/p')
  want=$(sed -n 's/^StartupWMClass=//p' "$entry")
  [ -n "$want" ] || e2e_fail "the entry names no StartupWMClass"
  [ "$wm_class" = "$want" ] || e2e_fail "the window's class is '$wm_class', the entry says '$want'"

  e2e_run_until "echo \$\$ > $w/shell" "$w/shell" || e2e_fail "the shell in the installed quillmar did not answer"
  shell=$(cat "$w/shell")
  [[ "$shell" =~ ^[0-9]+$ ]] || e2e_fail "the shell wrote '$shell'"
  echo "install_e2e: window $wid, class $wm_class, shell $shell"
  e2e_stop
}
e2e_part

build=$1 cmake=$2
e2e_home
export E2E_PREFIX=$E2E_WORK/prefix
"$cmake" --install "$build" --prefix "$E2E_PREFIX" >"$E2E_WORK/install.log" 2>&1 ||
  { cat "$E2E_WORK/install.log" >&2; e2e_finish 1 "" "cmake --install failed" /dev/null; }

fail() { e2e_finish 1 "" "$1" /dev/null; }
for f in bin/quillmar share/applications/quillmar.desktop share/quillmar/shaders/Shaders.glsl \
         share/icons/hicolor/scalable/apps/quillmar.svg; do
  [ -s "$E2E_PREFIX/$f" ] || fail "$f was not installed"
done
[ -x "$E2E_PREFIX/bin/quillmar" ] || fail "bin/quillmar is not executable"
# A user gets the program, not its debug information.
if readelf -S "$E2E_PREFIX/bin/quillmar" | grep -qE '\.debug_info|\.symtab'; then
  fail "bin/quillmar was installed with its debug information ($(du -h "$E2E_PREFIX/bin/quillmar" | cut -f1))"
fi
grep -q '^Categories=System;TerminalEmulator;$' "$E2E_PREFIX/share/applications/quillmar.desktop" ||
  fail "the entry is not in System;TerminalEmulator;"
out=$(desktop-file-validate "$E2E_PREFIX/share/applications/quillmar.desktop" 2>&1) ||
  fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
for size in 48 128 256; do
  png=$E2E_PREFIX/share/icons/hicolor/${size}x${size}/apps/quillmar.png
  [ "$(identify -format '%wx%h' "$png" 2>/dev/null)" = "${size}x${size}" ] || fail "no ${size} px icon at $png"
  # The mark's dark card fills the middle; an empty picture would be clear.
  [ "$(convert "$png" -format '%[fx:p{w/2,h/2}.a>0.9]' info: 2>/dev/null)" = 1 ] ||
    fail "the ${size} px icon is blank in the middle"
done
grep -q '<path d="M' "$E2E_PREFIX/share/icons/hicolor/scalable/apps/quillmar.svg" ||
  fail "the scalable icon has no outlines"

e2e_xvfb on_screen
e2e_finish $? "" ""
