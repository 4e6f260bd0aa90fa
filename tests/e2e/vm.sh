#!/usr/bin/env bash
# Runs a command of this tree inside a small Debian 12 virtual machine whose
# kernel starts 32-bit programs, for a machine whose own kernel does not (see
# wineenv_runs_32bit in wineenv.sh). QEMU emulates the whole machine in
# software, so no KVM is needed: Wine runs there several times slower than on
# a real kernel, but as on one.
#
#   tests/e2e/vm.sh BUILD COMMAND [ARGUMENTS...]        (as root)
#
# The VM's disk, BUILD/vm/root.img, is made with debootstrap from Debian's
# packages on the first run (some minutes) and again whenever the code that
# makes it changes. Each run copies the source tree and BUILD (less object
# files, Wine prefixes and the VM) to the same paths on the VM's own disk: Wine
# keeps DOS attributes in extended attributes, which a shared folder may not
# keep.
# COMMAND then runs from the tree's root; what it wrote under BUILD is copied
# back, and vm.sh exits with its status (2 when the VM failed). What COMMAND
# prints is shown as it comes; BUILD/vm/console.log has the VM's console.
# CABSFX_VM_TIMEOUT (seconds, default 3600) ends a run that takes longer.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:?usage: vm.sh BUILD COMMAND [ARGUMENTS...]}
shift
(($#)) || { echo "vm.sh: no command" >&2; exit 2; }
mkdir -p "$build"
build=$(cd "$build" && pwd)
vm=$build/vm

vm_log() { echo "vm.sh: $*" >&2; }

# Paths reach the VM on its kernel command line and in a shell script.
for path in "$root" "$build"; do
  if [[ ! "$path" =~ ^/[A-Za-z0-9._/-]+$ ]]; then
    vm_log "cannot share $path: only letters, digits and ._-/ are passed to the VM"
    exit 2
  fi
done

vm_install_tools() {
  local missing=()
  command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  ((${#missing[@]})) || return 0
  vm_log "installing ${missing[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
}

# The host's own Debian mirror, as its apt sources name it.
vm_mirror() {
  local uri
  uri=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/*$/\1/p' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)
  [[ -n "$uri" ]] || uri=$(sed -n 's/^deb  *\(http[^ ]*\/debian\)\/* bookworm .*/\1/p' \
    /etc/apt/sources.list 2>/dev/null | head -1)
  echo "${CABSFX_VM_MIRROR:-${uri:-http://deb.debian.org/debian}}"
}

# The guest's init: mounts the two shares and runs the job that vm_run wrote.
vm_write_init() {
  cat >"$1/cabsfx-init" <<'EOF'
#!/bin/bash
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
modprobe 9pnet_virtio && modprobe 9p
for arg in $(cat /proc/cmdline); do
  case $arg in cabsfx.root=*) src=${arg#*=} ;; cabsfx.build=*) build=${arg#*=} ;; esac
done
mkdir -p /mnt/root /mnt/build
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,ro root /mnt/root &&
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 build /mnt/build &&
  bash /mnt/build/vm/job.sh "$src" "$build" >/mnt/build/vm/job.log 2>&1
sync
umount /mnt/build /mnt/root
echo o >/proc/sysrq-trigger
sleep 60
EOF
  chmod 755 "$1/cabsfx-init"
}

vm_unmount() {
  local dir
  for dir in sys dev proc; do
    mountpoint -q "$1/$dir" 2>/dev/null && umount "$1/$dir"
  done
  return 0
}

vm_make_image() {
  local tree=$vm/tree rc=0
  vm_log "making the VM's disk in $vm (debootstrap from $(vm_mirror); some minutes)"
  # An interrupted earlier run may have left the host's /dev and /proc mounted
  # in its tree: never remove through them.
  vm_unmount "$tree"
  rm -rf --one-file-system "$tree" "$vm/root.img" "$vm/recipe"
  mkdir -p "$vm"
  debootstrap --variant=minbase \
    --include=linux-image-amd64,udev,kmod,procps,locales,python3,python3-pytest,libasan8,libubsan1 \
    bookworm "$tree" "$(vm_mirror)" >"$vm/debootstrap.log" 2>&1 || {
    vm_log "debootstrap failed (log: $vm/debootstrap.log)"
    return 1
  }
  mount -t proc proc "$tree/proc" && mount --bind /dev "$tree/dev" &&
    mount -t sysfs sys "$tree/sys" || rc=1
  trap 'vm_unmount "$tree"' EXIT
  # The Wine side of scripts/setup.sh's list: what runs the tests, not what builds them.
  ((rc)) || chroot "$tree" bash -c '
    set -e
    dpkg --add-architecture i386
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      wine wine32:i386 wine64 xvfb xauth x11-utils imagemagick fonts-ipafont-gothic fonts-wine \
      xz-utils gzip file unicode-data miscfiles binutils-mingw-w64-i686 openssl osslsigncode
    sed -i "s/^# *\(ja_JP.UTF-8 UTF-8\)/\1/; s/^# *\(en_US.UTF-8 UTF-8\)/\1/" /etc/locale.gen
    locale-gen
    apt-get clean' >"$vm/chroot.log" 2>&1 || rc=1
  vm_unmount "$tree"
  trap - EXIT
  if ((rc)); then
    vm_log "installing Wine in the VM's tree failed (log: $vm/chroot.log)"
    return 1
  fi
  vm_write_init "$tree"
  cp "$tree"/boot/vmlinuz-* "$vm/vmlinuz" && cp "$tree"/boot/initrd.img-* "$vm/initrd.img" &&
    rm -f "$tree"/boot/initrd.img-* &&
    mke2fs -q -t ext4 -d "$tree" -L cabsfx-vm "$vm/root.img" 12G >/dev/null || {
    vm_log "making the VM's disk failed"
    return 1
  }
  rm -rf --one-file-system "$tree"
  echo "$recipe" >"$vm/recipe"
}

# The job, run by the guest's init as: bash job.sh ROOT BUILD.
vm_write_job() {
  local command
  command=$(printf '%q ' "$@")
  cat >"$vm/job.sh" <<EOF
set -u
src=\$1 build=\$2
# Fresh copies on the VM's disk, at the host's paths (nothing of an earlier
# run's tree stays); the build folder apart when it lies inside the tree.
rm -rf "\$src" "\$build"
mkdir -p "\$src" "\$build"
(cd /mnt/root && tar cf - --exclude=./.git --exclude="./\${build#\$src/}" .) | (cd "\$src" && tar xf -)
(cd /mnt/build && tar cf - --exclude=./vm --exclude=./wine --exclude='*.o' --exclude='*.obj' \\
  --exclude='*.a' .) | (cd "\$build" && tar xf -)
touch /run/cabsfx-start
cd "\$src"
# Wine runs here several times slower than on a real kernel: the tests wait longer.
export CABSFX_E2E_SLOWDOWN=${CABSFX_E2E_SLOWDOWN:-4}
$command
rc=\$?
# What the command wrote under BUILD goes back, prefixes aside: by change
# time, since extracted files keep the dates of the cabinet.
(cd "\$build" && find . -cnewer /run/cabsfx-start -type f ! -path './wine/*' ! -path './vm/*' -print0 |
  tar cf - --null -T -) | (cd /mnt/build && tar xf -)
echo "\$rc" >/mnt/build/vm/rc
EOF
}

vm_run() {
  local memory smp qemu_pid rc
  memory=$(awk '/^MemTotal/ { m = int($2 / 1024 / 2); print (m > 8192 ? 8192 : m) }' /proc/meminfo)
  smp=$(nproc)
  rm -f "$vm/rc" "$vm/job.log"
  : >"$vm/job.log"
  vm_write_job "$@"
  vm_log "booting the VM ($smp processors, $memory MiB, software emulation)"
  # smap=off: QEMU 7.2's emulated iret from user mode faults with SMAP on.
  timeout -k 10 "${CABSFX_VM_TIMEOUT:-3600}" qemu-system-x86_64 -accel tcg,thread=multi \
    -smp "$smp" -m "$memory" -cpu max,smap=off -nographic -no-reboot \
    -kernel "$vm/vmlinuz" -initrd "$vm/initrd.img" \
    -drive file="$vm/root.img",format=raw,if=virtio \
    -virtfs local,path="$root",mount_tag=root,security_model=none,readonly=on \
    -virtfs local,path="$build",mount_tag=build,security_model=none \
    -append "console=ttyS0 root=/dev/vda rw init=/cabsfx-init quiet panic=-1 cabsfx.root=$root cabsfx.build=$build" \
    </dev/null >"$vm/console.log" 2>&1 &
  qemu_pid=$!
  tail -n +1 -f --pid="$qemu_pid" "$vm/job.log"
  wait "$qemu_pid"
  rc=$?
  if [[ ! -s "$vm/rc" ]]; then
    vm_log "the VM stopped before the command finished (qemu status $rc; console: $vm/console.log)"
    return 2
  fi
  return "$(cat "$vm/rc")"
}

vm_install_tools || { vm_log "could not install QEMU and debootstrap"; exit 2; }
# The disk is made again when the code that makes it changes.
recipe=$(declare -f vm_make_image vm_write_init | sha256sum | cut -c1-16)
if [[ ! -s "$vm/root.img" || "$(cat "$vm/recipe" 2>/dev/null)" != "$recipe" ]]; then
  vm_make_image || exit 2
fi
vm_run "$@"
