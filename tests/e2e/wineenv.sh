# Wine test environment, sourced by tests/e2e/run.sh and scripts/run-example.sh.
#
#   wineenv_start BUILD_DIR [ARCH...]
#                             starts a private Xvfb, creates fresh prefixes
#                             BUILD_DIR/wine/ARCH (default: win64 and win32)
#   wineenv_stop              wineserver -k for each prefix, Xvfb killed by pid
#   wineenv_runs_32bit        whether this machine starts 32-bit programs at all
#   wineenv_bench_start NAME DIR ARCH
#                             for a benchmark: one prefix DIR/wine/ARCH, its
#                             C:\bench emptied (WINEENV_DRIVE), a work folder
#                             (WINEENV_WORK); all of it removed at exit
#
# Exports DISPLAY, WINEDEBUG, CABSFX_WINE_ROOT, CABSFX_PREFIX64, CABSFX_PREFIX32.
# wineenv_start installs an EXIT trap that calls wineenv_stop; callers that
# need their own trap call wineenv_stop from it.

export WINEDEBUG=-all
# No Mono/Gecko installers, no first-run dialogs.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

WINEENV_XVFB_PID=""
WINEENV_PREFIXES=()

wineenv_log() { echo "wineenv: $*" >&2; }

# Starts Xvfb on a display that it picks itself (-displayfd), so parallel runs
# and a user's own X server never collide.
wineenv_start_xvfb() {
  local fifo
  fifo=$(mktemp -u /tmp/cabsfx-xvfb.XXXXXX)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -ac 3>"$fifo" >/dev/null 2>&1 &
  WINEENV_XVFB_PID=$!
  local display=""
  if ! read -r -t 20 display <"$fifo"; then display=""; fi
  rm -f "$fifo"
  if [[ -z "$display" ]]; then
    wineenv_log "Xvfb did not start"
    return 1
  fi
  export DISPLAY=":$display"
  wineenv_log "Xvfb pid $WINEENV_XVFB_PID on $DISPLAY"
}

# Fonts that the dialog templates name, mapped to the IPA Gothic fonts so that
# Japanese text renders (Wine has no MS fonts).
wineenv_map_fonts() {
  local prefix=$1 face
  local key='HKCU\Software\Wine\Fonts\Replacements'
  local subst='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
  for face in "ＭＳ Ｐゴシック" "MS PGothic" "MS UI Gothic" "ＭＳ ゴシック" "MS Gothic"; do
    LC_ALL=C.UTF-8 WINEPREFIX=$prefix wine reg add "$key" /v "$face" /t REG_SZ /d "IPAPGothic" /f >/dev/null 2>&1 || true
  done
  for face in "ＭＳ Ｐゴシック" "MS PGothic" "MS UI Gothic"; do
    LC_ALL=C.UTF-8 WINEPREFIX=$prefix wine reg add "$subst" /v "$face" /t REG_SZ /d "IPAPGothic" /f >/dev/null 2>&1 || true
  done
}

# Creates one prefix from scratch: WINEARCH is fixed at creation.
# Xvfb has no window manager: Wine draws the frames itself (the pictures show
# the captions) and its windows are unmanaged (otherwise every process waits
# 2 s at exit for a window manager to withdraw its windows).
wineenv_settings() {
  local prefix=$1 value
  for value in Decorated Managed; do
    WINEPREFIX=$prefix wine reg add 'HKCU\Software\Wine\X11 Driver' /v $value /t REG_SZ /d N /f \
      >/dev/null 2>&1 || true
  done
  # A program that crashes ends at once with a backtrace on stderr, instead of
  # waiting for someone to close Wine's crash dialog.
  WINEPREFIX=$prefix wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD \
    /d 0 /f >/dev/null 2>&1 || true
  # Windows opens .txt documents with Notepad; Wine's own set-up registers the
  # txtfile class but leaves the extension to the desktop's associations.
  WINEPREFIX=$prefix wine reg add 'HKCR\.txt' /ve /t REG_SZ /d txtfile /f >/dev/null 2>&1 || true
}

wineenv_make_prefix() {
  local prefix=$1 arch=$2
  # A server still running for an old prefix of this name would outlive it.
  if [[ -d "$prefix" ]]; then
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
  fi
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  WINEPREFIX=$prefix WINEARCH=$arch wineboot -i >/dev/null 2>&1 || {
    wineenv_log "wineboot failed for $prefix"
    return 1
  }
  # Wine's Tahoma (fonts-wine), the face behind "MS Shell Dlg", is not found in
  # its data folder by this build; in the prefix's Fonts folder it is.
  local font
  for font in /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf; do
    if [[ -f $font ]]; then cp "$font" "$prefix/drive_c/windows/Fonts/"; fi
  done
  wineenv_map_fonts "$prefix"
  wineenv_settings "$prefix"
  WINEPREFIX=$prefix wineserver -w || true
  # Persistent server for the run: each later wine start is then quick.
  WINEPREFIX=$prefix wineserver -p
}

# Wine's loader for 32-bit programs, and everything tested under it (the
# module is a 32-bit program), needs a kernel that starts 32-bit programs.
# Some virtual machines run 64-bit user code only: there the exec of any
# 32-bit program fails with "Exec format error" (status 126 from bash).
# Where they start through QEMU's user-mode emulator instead (a registered
# qemu-i386 handler), every 32-bit process takes about a minute to start and
# some crash or hang in the emulation: the suite does not run there either.
# On such machines scripts/test.sh runs it in a virtual machine (vm.sh).
WINEENV_QEMU_I386=/proc/sys/fs/binfmt_misc/qemu-i386
wineenv_runs_32bit() {
  grep -qx enabled "$WINEENV_QEMU_I386" 2>/dev/null && return 1
  /lib/ld-linux.so.2 --version >/dev/null 2>&1
  [[ $? -ne 126 ]]
}
WINEENV_NO_32BIT="this machine does not start 32-bit x86 programs (its kernel refuses them, or \
starts them only through an emulator), so neither Wine's 32-bit side nor the module can run here"

wineenv_start() {
  local build=$1
  shift
  if ! wineenv_runs_32bit; then
    wineenv_log "$WINEENV_NO_32BIT"
    return 1
  fi
  local arches=("$@")
  ((${#arches[@]})) || arches=(win64 win32)
  export CABSFX_WINE_ROOT
  CABSFX_WINE_ROOT=$(cd "$build" && pwd)/wine
  export CABSFX_PREFIX64=$CABSFX_WINE_ROOT/win64
  export CABSFX_PREFIX32=$CABSFX_WINE_ROOT/win32
  trap wineenv_stop EXIT
  trap 'exit 130' INT TERM
  wineenv_start_xvfb || return 1
  local start=$SECONDS arch prefix pids=() rc=0
  # The prefixes are made side by side; each takes several seconds.
  for arch in "${arches[@]}"; do
    prefix=$CABSFX_WINE_ROOT/$arch
    WINEENV_PREFIXES+=("$prefix")
    wineenv_make_prefix "$prefix" "$arch" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || rc=1; done
  ((rc == 0)) || return 1
  wineenv_log "prefixes ${arches[*]} ready in $((SECONDS - start)) s under $CABSFX_WINE_ROOT"
}

wineenv_stop() {
  local prefix
  for prefix in "${WINEENV_PREFIXES[@]}"; do
    [[ -d "$prefix" ]] && { WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; }
  done
  for prefix in "${WINEENV_PREFIXES[@]}"; do
    [[ -d "$prefix" ]] && { WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true; }
  done
  WINEENV_PREFIXES=()
  if [[ -n "$WINEENV_XVFB_PID" ]]; then
    kill "$WINEENV_XVFB_PID" 2>/dev/null || true
    wait "$WINEENV_XVFB_PID" 2>/dev/null || true
    WINEENV_XVFB_PID=""
  fi
  return 0
}

wineenv_bench_start() {
  local name=$1 arch=$3
  WINEENV_BENCH=$2
  WINEENV_WORK=""
  mkdir -p "$WINEENV_BENCH"
  wineenv_start "$WINEENV_BENCH" "$arch" || { echo "$name: no Wine environment" >&2; exit 2; }
  trap wineenv_bench_cleanup EXIT
  WINEENV_DRIVE=$CABSFX_WINE_ROOT/$arch/drive_c/bench
  rm -rf "$WINEENV_DRIVE"
  mkdir -p "$WINEENV_DRIVE"
  WINEENV_WORK=$(mktemp -d "$WINEENV_BENCH/work.XXXXXX")
}

wineenv_bench_cleanup() {
  wineenv_stop
  [[ -n "$WINEENV_WORK" ]] && rm -rf "$WINEENV_WORK"
  # The prefix (over a GiB of system files) is made afresh by every run.
  rm -rf "$WINEENV_BENCH/wine"
  return 0
}
