#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the application need.
# Idempotent and quiet: does nothing when everything is already there.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config git
  clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev libvterm-dev
  libicu-dev zlib1g-dev libpng-dev libssl-dev
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev libglx-dev
  libfontconfig-dev libfreetype-dev libharfbuzz-dev
  libsecret-1-dev libglib2.0-dev
  openssh-client openssh-server zsh locales procps
  xvfb xauth xdotool xclip imagemagick x11-utils desktop-file-utils
  xterm libxtst-dev libxdamage-dev libxfixes-dev
  fonts-jetbrains-mono fonts-inter fonts-dejavu-core fonts-noto-color-emoji fonts-wqy-microhei fonts-noto-mono
  dbus gnome-keyring libsecret-tools libglib2.0-bin at-spi2-core
  ibus
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (run as root): ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  log=$(mktemp)
  if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "install-deps: could not install: ${missing[*]}" >&2
    exit 1
  fi
  rm -f "$log"
fi
