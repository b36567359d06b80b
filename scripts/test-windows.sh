#!/usr/bin/env bash
# Cross-builds kvx for Windows (i686 and x86_64, mingw-w64) and tests it:
#   - x86_64: every test program runs under Wine (ctest, 64-bit prefix), plus
#     the DLL's export and import table check;
#   - i686: everything is built (compile and link errors show).  Where the
#     machine runs 32-bit x86 code (a tiny i386 program tells), every test
#     program also runs under 32-bit Wine, in a 32-bit prefix of its own and
#     under Xvfb; elsewhere only the table check runs, and one line says so.
# Installs the compilers and Wine (and, for i686 runs, Debian's 32-bit Wine
# and Xvfb) first when they are missing (Debian).
#
# Environment:
#   KVX_BUILD_ROOT     where win-i686 and win-x86_64 go (default: <repo>/build)
#   KVX_BUILD_TYPE     CMake build type (default: Release)
#   KVX_JOBS           parallel compile jobs (default: number of cores)
#   KVX_TEST_TIMEOUT   seconds for each test without a timeout of its own (default: 120)
#   KVX_WINE_DIR       Wine prefix, ALSA config and lock live here (default: /tmp/kvx-wine)
#   KVX_WIN_ARCHS      architectures to build (default: "i686 x86_64")
#   KVX_WIN32_RUN      "auto" runs the i686 tests where 32-bit code runs, "no"
#                      never does (and installs no i386 packages) (default: auto)
# Exit status: 0 when every build and test passed, 1 otherwise.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${KVX_BUILD_ROOT:-$REPO/build}
BUILD_TYPE=${KVX_BUILD_TYPE:-Release}
JOBS=${KVX_JOBS:-$(nproc 2>/dev/null || echo 2)}
TEST_TIMEOUT=${KVX_TEST_TIMEOUT:-120}
WINE_DIR=${KVX_WINE_DIR:-/tmp/kvx-wine}
ARCHS=${KVX_WIN_ARCHS:-i686 x86_64}
WIN32_RUN=${KVX_WIN32_RUN:-auto}
# The loaders are named directly: with wine32 installed, /usr/bin/wine and
# the wineboot wrapper pick the 32-bit one.
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver
PREFIX64=$WINE_DIR/prefix
PREFIX32=$WINE_DIR/prefix32

START=$SECONDS
FAILED=()
step() { printf '\n=== [%4ds] %s\n' $((SECONDS - START)) "$*"; }
note() { printf '    %s\n' "$*"; }
fail() { FAILED+=("$1"); printf '*** FAILED: %s\n' "$1"; }

# --- 1. Can this machine run 32-bit x86 code? ---------------------------------
# Some machines of this kind cannot (every 32-bit program fails with "Exec
# format error"); there installing 32-bit Wine would only upgrade packages.
# The probe is a minimal i386 ELF program that calls exit(0).
RUN32=
mkdir -p "$WINE_DIR"
if [[ " $ARCHS " == *" i686 "* ]]; then
  if [ "$WIN32_RUN" = no ]; then
    step "i686 tests: not run (KVX_WIN32_RUN=no); only the export table check"
  else
    probe=$WINE_DIR/probe-i386
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x00\x00\x00\x00\xcd\x80' > "$probe"
    chmod +x "$probe"
    # Through bash: a plain execvp would hand the file to /bin/sh as a script.
    # shellcheck disable=SC2016
    why=$(timeout 10 bash -c 'exec "$0"' "$probe" 2>&1)
    rc=$?
    if [ $rc -eq 0 ]; then
      RUN32=1
      step "This machine runs 32-bit x86 code: the i686 tests run under 32-bit Wine"
    else
      why=${why%%$'\n'*}
      why=${why##*: }
      step "32-bit x86 code cannot run on this machine (${why:-exit status $rc}): i686 tests skipped, only the export table check"
    fi
  fi
fi

# --- 2. Packages ---------------------------------------------------------------
PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 cmake make googletest libcli11-dev)
# Without i686 runs wine32 stays out on purpose: with it installed the wine
# wrappers pick the 32-bit loader.  xvfb-run needs xauth.
[ -n "$RUN32" ] && PACKAGES+=(wine32:i386 xvfb xauth)
step "Checking packages: ${PACKAGES[*]}"
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  note "installing: ${missing[*]}"
  SUDO=
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  if [ -n "$RUN32" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    note "adding the i386 architecture to dpkg"
    if ! $SUDO dpkg --add-architecture i386; then
      fail "dpkg --add-architecture i386"
      exit 1
    fi
  fi
  if ! $SUDO apt-get update -qq || ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    fail "package installation"
    exit 1
  fi
else
  note "all present"
fi
for a in i686 x86_64; do note "$($a-w64-mingw32-g++-posix --version | head -n1)"; done
note "wine: $($WINE64 --version 2>/dev/null)"
[ -n "$RUN32" ] && note "wine (32-bit): $($WINE32 --version 2>/dev/null)"

# --- 3. Wine prefixes, prepared in the background while the code compiles -----
export WINEPREFIX=$PREFIX64
export WINEDEBUG=-all                                          # no debug channels, no err:/fixme:
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" # no Mono/Gecko prompts
export ALSA_CONFIG_PATH=$WINE_DIR/asound-null.conf              # one silent wave-out device
unset DISPLAY WAYLAND_DISPLAY WINEARCH                          # windows go to the null driver
printf '</usr/share/alsa/alsa.conf>\npcm.!default { type null }\n' > "$ALSA_CONFIG_PATH"

# One run at a time uses the prefix.  Wine's processes do not inherit the
# lock (9>&-), so a stray one cannot hold it.
exec 9>"$WINE_DIR/lock"
if ! flock -w 900 9; then
  fail "waiting for the Wine prefix lock $WINE_DIR/lock"
  exit 1
fi

wine_cleanup() {
  local pid
  for pid in ${PREP_PID:-} ${PREP32_PID:-}; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  WINEPREFIX=$PREFIX64 timeout 30 "$WINESERVER" -k 2>/dev/null
  [ -z "$RUN32" ] || WINEPREFIX=$PREFIX32 timeout 30 "$WINESERVER" -k 2>/dev/null
}
trap wine_cleanup EXIT
trap 'exit 130' INT TERM

# The 64-bit prefix shows windows and dialogs with the null graphics driver.
# The 32-bit one keeps the X11 driver: there the dialogs work only with a
# display, so its tests run under Xvfb.
prepare_prefix() { # prefix, loader, [graphics driver]
  set -e
  export WINEPREFIX=$1
  [ "$2" = "$WINE32" ] && export WINEARCH=win32
  # A server left over from an interrupted run of this script.
  timeout 30 "$WINESERVER" -k 2>/dev/null || true
  if [ ! -f "$WINEPREFIX/.kvx-ready" ]; then
    rm -rf "$WINEPREFIX"
    timeout 180 "$2" wineboot --init
    timeout 120 "$WINESERVER" -w
    if [ -n "${3:-}" ]; then
      timeout 60 "$2" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$3" /f
      timeout 60 "$WINESERVER" -w
    fi
    touch "$WINEPREFIX/.kvx-ready"
  fi
}
start_prefix() { # label, prefix, loader, [graphics driver]; sets PREP_PID
  if [ -f "$2/.kvx-ready" ]; then
    step "Wine prefix $2 ($1) exists; reusing it"
  else
    step "Creating Wine prefix $2 ($1) in the background (log: $2.log)"
  fi
  prepare_prefix "$2" "$3" "${4:-}" > "$2.log" 2>&1 9>&- &
  PREP_PID=$!
}
if [[ " $ARCHS " == *" x86_64 "* ]]; then
  start_prefix 64-bit "$PREFIX64" "$WINE64" null
fi
if [ -n "$RUN32" ]; then
  prep64=${PREP_PID:-}
  start_prefix "32-bit, WINEARCH=win32" "$PREFIX32" "$WINE32"
  PREP32_PID=$PREP_PID
  PREP_PID=$prep64
fi

# --- 4. Cross builds ------------------------------------------------------------
declare -A BUILT
for arch in $ARCHS; do
  dir=$BUILD_ROOT/win-$arch
  step "Configuring $arch into $dir ($BUILD_TYPE; log: $dir/configure.log)"
  mkdir -p "$dir"
  # The i686 test programs are registered with ctest only where they run
  # (through the 32-bit loader that cmake/mingw-i686.cmake names).
  run_tests=()
  if [ "$arch" = i686 ]; then
    if [ -n "$RUN32" ]; then run_tests=(-DKVX_RUN_TESTS=ON); else run_tests=(-DKVX_RUN_TESTS=OFF); fi
  fi
  if ! cmake -S "$REPO" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$REPO/cmake/mingw-$arch.cmake" \
         -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "${run_tests[@]}" > "$dir/configure.log" 2>&1; then
    cat "$dir/configure.log"
    fail "configure $arch"
    continue
  fi
  step "Building $arch (-j$JOBS)"
  if ! cmake --build "$dir" -j "$JOBS"; then
    fail "build $arch"
    continue
  fi
  BUILT[$arch]=1
  for f in "$dir/kvx.dll" "$dir"/tools/kvx/kvx.exe; do
    [ -f "$f" ] && note "$(basename "$f"): $(stat -c %s "$f") bytes"
  done
done

# --- 5. Export tables ----------------------------------------------------------
for arch in $ARCHS; do
  [ -n "${BUILT[$arch]:-}" ] || continue
  dll=$BUILD_ROOT/win-$arch/kvx.dll
  step "Export and import tables of $arch kvx.dll ($arch-w64-mingw32-objdump -p)"
  dump=$($arch-w64-mingw32-objdump -p "$dll")
  sed -n -e '/^Export Address Table --/,/^$/p' -e '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump"
  echo "Imports:"
  sed -n -e 's/^[[:space:]]*DLL Name:/   /p' <<<"$dump"
done

# --- 6. Tests --------------------------------------------------------------------
run_ctest() { # arch, label
  local dir=$BUILD_ROOT/win-$1
  # The outer timeout is a guard against a hung Wine session; each test has
  # its own, shorter one.
  if ! timeout 1800 ctest --test-dir "$dir" --output-on-failure --no-tests=error --timeout "$TEST_TIMEOUT" 9>&-; then
    fail "$2"
  fi
}

wait_prefix() { # pid, prefix; false when its set-up failed
  if ! wait "$1"; then
    cat "$2.log"
    fail "Wine prefix set-up ($2)"
    return 1
  fi
}

if [ -n "${BUILT[i686]:-}" ] && [ -z "$RUN32" ]; then
  step "Testing i686: export and import table check only (32-bit code does not run here)"
  run_ctest i686 "ctest i686"
fi

if [ -n "${PREP_PID:-}" ]; then
  step "Waiting for the 64-bit Wine prefix"
  wait_prefix "$PREP_PID" "$PREFIX64" || BUILT[x86_64]=
  PREP_PID=
fi

if [ -n "${BUILT[x86_64]:-}" ]; then
  step "Starting a persistent wineserver and warming it up"
  "$WINESERVER" -p 9>&-
  if ! timeout 120 "$WINE64" cmd /c exit 0 9>&-; then
    fail "Wine warm-up"
  else
    step "Testing x86_64 under Wine (per-test timeout ${TEST_TIMEOUT}s unless the test sets its own)"
    run_ctest x86_64 "ctest x86_64"
  fi
  timeout 30 "$WINESERVER" -k 2>/dev/null
fi

if [ -n "${PREP32_PID:-}" ]; then
  step "Waiting for the 32-bit Wine prefix"
  wait_prefix "$PREP32_PID" "$PREFIX32" || BUILT[i686]=
  PREP32_PID=
fi

if [ -n "${BUILT[i686]:-}" ] && [ -n "$RUN32" ]; then
  step "Testing i686 under 32-bit Wine and Xvfb (per-test timeout ${TEST_TIMEOUT}s unless the test sets its own)"
  # Everything in one Xvfb session: the persistent server, its warm-up (which
  # starts the desktop on this display) and ctest, then the server ends
  # before the display does.
  # shellcheck disable=SC2016
  if ! WINEPREFIX=$PREFIX32 WINEARCH=win32 KVX_CTEST_DIR=$BUILD_ROOT/win-i686 \
       WINE32=$WINE32 WINESERVER=$WINESERVER TEST_TIMEOUT=$TEST_TIMEOUT \
       timeout 1800 xvfb-run -a -s '-screen 0 1024x768x24' bash -c '
         "$WINESERVER" -p
         if timeout 120 "$WINE32" cmd /c exit 0; then
           ctest --test-dir "$KVX_CTEST_DIR" --output-on-failure --no-tests=error --timeout "$TEST_TIMEOUT"
           rc=$?
         else
           echo "*** the 32-bit Wine warm-up failed"
           rc=1
         fi
         timeout 30 "$WINESERVER" -k 2>/dev/null
         exit $rc' 9>&-; then
    fail "ctest i686 (32-bit Wine)"
  fi
fi

# --- Summary ---------------------------------------------------------------------
step "Done in $((SECONDS - START)) s"
if [ ${#FAILED[@]} -gt 0 ]; then
  printf '*** Windows build/test failures:\n'
  printf '    - %s\n' "${FAILED[@]}"
  exit 1
fi
if [[ " $ARCHS " == *" i686 "* ]] && [ -z "$RUN32" ]; then
  echo "Windows builds and tests passed ($ARCHS; i686 built and its tables checked, its tests not run)."
else
  echo "Windows builds and tests passed ($ARCHS)."
fi
