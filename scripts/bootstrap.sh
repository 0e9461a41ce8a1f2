#!/bin/bash
# Installs what quorvel needs on Debian 12 and generates the Japanese
# locale. Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  cmake make g++ python3 googletest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine64 wine xvfb xdotool x11-utils imagemagick fonts-ipafont-gothic locales
  fp-utils-3.2.2
  clang libclang-rt-dev clang-format
  libcli11-dev nlohmann-json3-dev fonts-wine
  help2man groff-base mandoc bash-completion dpkg-dev file lintian
  zsh fish jq devscripts
  libfuse3-dev fuse3 strace libssl-dev
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: these packages are missing and need root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # With recommends: Debian's Wine lists its X11, font and graphics
  # libraries as recommended, and without them it has no usable display.
  apt-get install -y -q "${missing[@]}"
fi

# Wine runs in code page 932 only under a Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: the ja_JP.UTF-8 locale is missing and needs root" >&2
    exit 1
  fi
  sed -i 's/^# *ja_JP.UTF-8/ja_JP.UTF-8/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
echo "bootstrap: everything quorvel needs is installed"
