#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12, as root, from
# Debian packages only. Idempotent and quick when everything is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev zlib1g-dev
  g++-mingw-w64-i686 libz-mingw-w64-dev
  wine wine32:i386 wine64
  xvfb xauth x11-utils imagemagick fonts-ipafont-gothic fonts-wine locales
  python3 python3-pytest xz-utils gzip
  file binutils-mingw-w64-i686
  unicode-data miscfiles openssl osslsigncode
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  missing=("${packages[@]}")
else
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
fi

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Locales for the English and Japanese test modes.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/; s/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  grep -q '^en_US.UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
echo "setup: ready"
