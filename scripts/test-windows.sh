#!/usr/bin/env bash
# Cross-builds kvx for Windows (i686 and x86_64, mingw-w64) and tests it:
#   - x86_64: every test program runs under Wine (ctest), plus the DLL's
#     export and import table check;
#   - i686: everything is built (compile and link errors show), but 32-bit
#     code cannot run on these machines, so only the table check runs.
# Installs the compilers and Wine first when they are missing (Debian).
#
# Environment:
#   KVX_BUILD_ROOT     where win-i686 and win-x86_64 go (default: <repo>/build)
#   KVX_BUILD_TYPE     CMake build type (default: Release)
#   KVX_JOBS           parallel compile jobs (default: number of cores)
#   KVX_TEST_TIMEOUT   seconds for each test without a timeout of its own (default: 120)
#   KVX_WINE_DIR       Wine prefix, ALSA config and lock live here (default: /tmp/kvx-wine)
#   KVX_WIN_ARCHS      architectures to build (default: "i686 x86_64")
# Exit status: 0 when every build and test passed, 1 otherwise.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${KVX_BUILD_ROOT:-$REPO/build}
BUILD_TYPE=${KVX_BUILD_TYPE:-Release}
JOBS=${KVX_JOBS:-$(nproc 2>/dev/null || echo 2)}
TEST_TIMEOUT=${KVX_TEST_TIMEOUT:-120}
WINE_DIR=${KVX_WINE_DIR:-/tmp/kvx-wine}
ARCHS=${KVX_WIN_ARCHS:-i686 x86_64}
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

START=$SECONDS
FAILED=()
step() { printf '\n=== [%4ds] %s\n' $((SECONDS - START)) "$*"; }
note() { printf '    %s\n' "$*"; }
fail() { FAILED+=("$1"); printf '*** FAILED: %s\n' "$1"; }

# --- 1. Packages ---------------------------------------------------------------
PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 cmake make googletest)
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
  # wine32 is left out on purpose: 32-bit code cannot run here, and with it
  # installed the wine wrappers pick the 32-bit loader.
  if ! $SUDO apt-get update -qq || ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    fail "package installation"
    exit 1
  fi
else
  note "all present"
fi
for a in i686 x86_64; do note "$($a-w64-mingw32-g++-posix --version | head -n1)"; done
note "wine: $($WINE64 --version 2>/dev/null)"

# --- 2. Wine prefix, prepared in the background while the code compiles -------
export WINEPREFIX=$WINE_DIR/prefix
export WINEDEBUG=-all                                          # no debug channels, no err:/fixme:
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" # no Mono/Gecko prompts
export ALSA_CONFIG_PATH=$WINE_DIR/asound-null.conf              # one silent wave-out device
unset DISPLAY WAYLAND_DISPLAY                                   # windows go to the null driver
mkdir -p "$WINE_DIR"
printf '</usr/share/alsa/alsa.conf>\npcm.!default { type null }\n' > "$ALSA_CONFIG_PATH"

# One run at a time uses the prefix.  Wine's processes do not inherit the
# lock (9>&-), so a stray one cannot hold it.
exec 9>"$WINE_DIR/lock"
if ! flock -w 900 9; then
  fail "waiting for the Wine prefix lock $WINE_DIR/lock"
  exit 1
fi

wine_cleanup() {
  if [ -n "${PREP_PID:-}" ]; then kill "$PREP_PID" 2>/dev/null; wait "$PREP_PID" 2>/dev/null; fi
  timeout 30 "$WINESERVER" -k 2>/dev/null
}
trap wine_cleanup EXIT
trap 'exit 130' INT TERM

prepare_prefix() {
  set -e
  # A server left over from an interrupted run of this script.
  timeout 30 "$WINESERVER" -k 2>/dev/null || true
  if [ ! -f "$WINEPREFIX/.kvx-ready" ]; then
    rm -rf "$WINEPREFIX"
    timeout 180 "$WINE64" wineboot --init
    timeout 120 "$WINESERVER" -w
    # Dialogs and top-level windows work without an X server.
    timeout 60 "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    timeout 60 "$WINESERVER" -w
    touch "$WINEPREFIX/.kvx-ready"
  fi
}
if [[ " $ARCHS " == *" x86_64 "* ]]; then
  if [ -f "$WINEPREFIX/.kvx-ready" ]; then
    step "Wine prefix $WINEPREFIX exists; reusing it"
  else
    step "Creating Wine prefix $WINEPREFIX in the background (log: $WINE_DIR/prefix.log)"
  fi
  prepare_prefix > "$WINE_DIR/prefix.log" 2>&1 9>&- &
  PREP_PID=$!
fi

# --- 3. Cross builds ------------------------------------------------------------
declare -A BUILT
for arch in $ARCHS; do
  dir=$BUILD_ROOT/win-$arch
  step "Configuring $arch into $dir ($BUILD_TYPE; log: $dir/configure.log)"
  mkdir -p "$dir"
  if ! cmake -S "$REPO" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$REPO/cmake/mingw-$arch.cmake" \
         -DCMAKE_BUILD_TYPE="$BUILD_TYPE" > "$dir/configure.log" 2>&1; then
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

# --- 4. Export tables ----------------------------------------------------------
for arch in $ARCHS; do
  [ -n "${BUILT[$arch]:-}" ] || continue
  dll=$BUILD_ROOT/win-$arch/kvx.dll
  step "Export and import tables of $arch kvx.dll ($arch-w64-mingw32-objdump -p)"
  dump=$($arch-w64-mingw32-objdump -p "$dll")
  sed -n -e '/^Export Address Table --/,/^$/p' -e '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump"
  echo "Imports:"
  sed -n -e 's/^[[:space:]]*DLL Name:/   /p' <<<"$dump"
done

# --- 5. Tests --------------------------------------------------------------------
run_ctest() { # arch, label
  local dir=$BUILD_ROOT/win-$1
  # The outer timeout is a guard against a hung Wine session; each test has
  # its own, shorter one.
  if ! timeout 1800 ctest --test-dir "$dir" --output-on-failure --no-tests=error --timeout "$TEST_TIMEOUT" 9>&-; then
    fail "$2"
  fi
}

if [ -n "${BUILT[i686]:-}" ]; then
  step "Testing i686: export and import table check only (32-bit code cannot run here)"
  run_ctest i686 "ctest i686"
fi

if [ -n "${PREP_PID:-}" ]; then
  step "Waiting for the Wine prefix"
  if ! wait "$PREP_PID"; then
    cat "$WINE_DIR/prefix.log"
    fail "Wine prefix set-up"
    BUILT[x86_64]=
  fi
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
fi

# --- Summary ---------------------------------------------------------------------
step "Done in $((SECONDS - START)) s"
if [ ${#FAILED[@]} -gt 0 ]; then
  printf '*** Windows build/test failures:\n'
  printf '    - %s\n' "${FAILED[@]}"
  exit 1
fi
echo "Windows builds and tests passed ($ARCHS)."
