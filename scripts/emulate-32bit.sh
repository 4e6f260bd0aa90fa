#!/usr/bin/env bash
# On a machine whose kernel starts no 32-bit x86 programs, has it start them
# through QEMU's user-mode emulation (Debian's qemu-user-static), as root, until
# the next boot. Wine's 32-bit side, the module and the Windows-side tests then
# run by hand, slowly: each 32-bit process takes about a minute to start. The
# test command still skips what needs Wine there (tests/e2e/wineenv.sh).
set -euo pipefail
source "$(dirname "$0")/../tests/e2e/wineenv.sh"
if grep -qx enabled "$WINEENV_QEMU_I386" 2>/dev/null; then
  echo "emulate-32bit: 32-bit programs already start through" \
    "$(sed -n 's/^interpreter //p' "$WINEENV_QEMU_I386")"
  exit 0
fi
if wineenv_runs_32bit; then
  echo "emulate-32bit: this machine starts 32-bit programs itself; nothing to do"
  exit 0
fi
if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed'; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null
fi
binfmt=$(dirname "$WINEENV_QEMU_I386")
mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
# 32-bit little-endian x86 ELF executables and shared objects. F: the
# emulator is opened now, so that it runs inside any chroot or namespace.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# A disabled entry of that name is replaced.
[[ -e $WINEENV_QEMU_I386 ]] && echo -1 >"$WINEENV_QEMU_I386"
echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" >"$binfmt/register"
/lib/ld-linux.so.2 --version >/dev/null
echo "emulate-32bit: 32-bit programs now start through /usr/bin/qemu-i386-static"
