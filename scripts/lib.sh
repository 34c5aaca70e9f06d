# Shared by the project's scripts: installing what the build needs and
# running Wine with the project's own prefix (the one place that sets Wine
# up; scripts/wine-run, ctest's emulator, sources it too).  Source it; don't
# run it.

KV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KV_WINE=/usr/lib/wine/wine64
KV_WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX="${WINEPREFIX:-$KV_ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Packages every build of the project needs (Debian 12 names).
#   pkg-config                     the consumer test's pkg-config host
#   llvm, lld, clang-tools-14      llvm-dlltool (kvinit64.lib), lld-link and
#                                  clang-cl (the MSVC-style host)
#   dpkg-dev, debhelper, lintian   the Debian packages (scripts/package deb)
#   groff-base, man-db             kvprofile's manual page: as text for
#                                  Windows, and read back by the deb test
KV_PACKAGES=(cmake make g++ googletest libgtest-dev libbenchmark-dev
  mingw-w64 g++-mingw-w64-x86-64-posix wine64 binutils
  libcli11-dev nlohmann-json3-dev clang clang-format libclang-rt-14-dev
  pkg-config llvm lld clang-tools-14 dpkg-dev debhelper lintian groff-base man-db)

# Wine makes Unix file names from Windows ones through the Unix locale's
# character set: with no locale (as a stock container starts) or a non-UTF-8
# one, a non-ASCII file name cannot be made at all.  Gives Wine the C
# library's built-in C.UTF-8 locale then; a UTF-8 locale of the user's own
# is kept as it is.  kv_wine_start and scripts/wine-run (ctest's emulator)
# call it, so it reaches every Windows program the project runs.
kv_wine_locale() {
  [ "$(locale charmap 2>/dev/null)" = UTF-8 ] && return 0
  export LC_ALL=C.UTF-8
}

kv_log() { printf '==> %s\n' "$*" >&2; }

# Installs the missing packages among those given (all of KV_PACKAGES by
# default).  Needs root, as on the project's machines.
kv_install() {
  local want=("$@") missing=() p
  [ ${#want[@]} -gt 0 ] || want=("${KV_PACKAGES[@]}")
  for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  kv_log "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Creates the Wine prefix once, starts a persistent wineserver (unless one
# runs) and runs one throwaway client so that Wine's helper processes don't
# hold ctest's pipes.
kv_wine_start() {
  kv_wine_locale
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    kv_log "creating the Wine prefix $WINEPREFIX"
    "$KV_WINE" wineboot --init >/dev/null 2>&1 </dev/null
    "$KV_WINESERVER" -w
  fi
  "$KV_WINESERVER" -p 2>/dev/null || true # one may be running already
  "$KV_WINE" cmd /c exit >/dev/null 2>&1 </dev/null
}

kv_wine_stop() { "$KV_WINESERVER" -k >/dev/null 2>&1 || true; }

# Configures and builds one preset; non-zero when either step fails.
kv_build() {
  local preset=$1
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"
}
