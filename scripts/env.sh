# Shared settings for the project's scripts; sourced, never run.
IVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
IVRA_CACHE="${IVRA_CACHE:-/var/cache/ivra}"
IVRA_DEPS="$IVRA_CACHE/deps"
IVRA_BUILD="${IVRA_BUILD:-$IVRA_ROOT/build}"
export WINEPREFIX="${WINEPREFIX:-$IVRA_CACHE/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win64
IVRA_WINE=/usr/lib/wine/wine64
IVRA_WINESERVER=/usr/lib/wine/wineserver
IVRA_CROSS=x86_64-w64-mingw32
export IVRA_ROOT IVRA_CACHE IVRA_DEPS IVRA_BUILD IVRA_WINE IVRA_WINESERVER

ivra_log() { printf '[ivra] %s\n' "$*" >&2; }

# Starts a private Xvfb on the first free display number from $1 and sets DISPLAY.
ivra_start_xvfb() {
    local n=${1:-90} geometry=${2:-1920x1080x24}
    while [ -e "/tmp/.X${n}-lock" ] || [ -e "/tmp/.X11-unix/X${n}" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 "$geometry" -nolisten tcp -ac >/dev/null 2>&1 &
    IVRA_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 100); do
        xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    ivra_log "Xvfb on $DISPLAY did not start"
    return 1
}

# The dependency prefix is keyed by the recipe that builds it, so a changed
# recipe builds anew beside the old one and an unchanged one is reused.
ivra_deps_prefix() {
    local key
    key=$(sha256sum "$IVRA_ROOT/scripts/build-deps" | cut -c1-12)
    printf '%s/%s' "$IVRA_DEPS" "$key"
}
