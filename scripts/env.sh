# Shared settings for the project's scripts; sourced, never run.
IVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
IVRA_CACHE="${IVRA_CACHE:-/var/cache/ivra}"
IVRA_DEPS="$IVRA_CACHE/deps"
IVRA_BUILD="${IVRA_BUILD:-$IVRA_ROOT/build}"
export WINEPREFIX="${WINEPREFIX:-$IVRA_CACHE/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win64
# Wine stores file names in the locale's character set; under C or POSIX a name
# outside ASCII cannot be created at all.
case "${LC_ALL:-${LC_CTYPE:-${LANG:-}}}" in
*[Uu][Tt][Ff]-8* | *[Uu][Tt][Ff]8*) ;;
*) export LC_ALL=C.UTF-8 ;;
esac
IVRA_WINE=/usr/lib/wine/wine64
IVRA_WINESERVER=/usr/lib/wine/wineserver
IVRA_CROSS=x86_64-w64-mingw32
export IVRA_ROOT IVRA_CACHE IVRA_DEPS IVRA_BUILD IVRA_WINE IVRA_WINESERVER

# Every line says how long the outermost script has been running, so a slow step shows.
export IVRA_T0="${IVRA_T0:-$(date +%s)}"
ivra_log() {
    local t=$(($(date +%s) - IVRA_T0))
    printf '[ivra %d:%02d] %s\n' $((t / 60)) $((t % 60)) "$*" >&2
}

# Starts a private Xvfb and sets DISPLAY and IVRA_XVFB_PID. The server picks a
# free display number itself (-displayfd), so two runs starting at the same
# moment never race for one. Optional arguments: geometry, file that records
# the server's pid (for the clean-up of a killed run).
ivra_start_xvfb() {
    local geometry=${1:-1920x1080x24} pidfile=${2:-} numfile i n=""
    numfile=$(mktemp "${TMPDIR:-/tmp}/ivra-display.XXXXXX")
    Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp -ac 3>"$numfile" >/dev/null 2>&1 &
    IVRA_XVFB_PID=$!
    [ -z "$pidfile" ] || echo "$IVRA_XVFB_PID" >>"$pidfile"
    for i in $(seq 1 200); do
        n=$(tr -dc 0-9 <"$numfile")
        [ -n "$n" ] && break
        kill -0 "$IVRA_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$numfile"
    if [ -z "$n" ]; then
        ivra_log "Xvfb did not start"
        kill "$IVRA_XVFB_PID" 2>/dev/null || true
        return 1
    fi
    export DISPLAY=":$n"
}

# Makes a throw-away copy of a Wine prefix in seconds: Wine only reads the DLL
# folders, so they are hard links to the base; the registry, the user folders
# and everything else are real copies, so nothing a run writes reaches the base.
# Usage: ivra_prefix_copy BASE DEST (DEST must not exist; same file system).
ivra_prefix_copy() {
    local base=$1 dest=$2 d
    mkdir "$dest" || return 1
    # Top level (registry files, .update-timestamp, dosdevices links) and
    # drive_c except the Windows folder: small, and written by Wine.
    ( cd "$base" && find . -mindepth 1 -maxdepth 1 ! -name drive_c -exec cp -a --parents {} "$dest" \; ) || return 1
    mkdir "$dest/drive_c" || return 1
    ( cd "$base/drive_c" && find . -mindepth 1 -maxdepth 1 ! -name windows -exec cp -a --parents {} "$dest/drive_c" \; ) ||
        return 1
    # The Windows folder: its files and small folders are copies, the DLL trees links.
    mkdir "$dest/drive_c/windows" || return 1
    for d in "$base/drive_c/windows"/* "$base/drive_c/windows"/.[!.]*; do
        [ -e "$d" ] || [ -L "$d" ] || continue
        case "${d##*/}" in
            system32|syswow64|winsxs|Microsoft.NET|mono|gecko) cp -al "$d" "$dest/drive_c/windows/" || return 1 ;;
            *) cp -a "$d" "$dest/drive_c/windows/" || return 1 ;;
        esac
    done
}

# The folder of one run of the suite under the cache: prefix copies, displays'
# pids and temporary files. It holds "owner" (pid and start time of the run);
# ivra_runs_sweep removes folders whose owner is gone, after ending their Wine
# servers and X servers.
IVRA_RUNS="$IVRA_CACHE/runs"

ivra_proc_start() { awk '{print $22}' "/proc/$1/stat" 2>/dev/null; }

ivra_run_end() {
    local run=$1 p start reg
    [ -d "$run" ] || return 0
    # The tests of a run whose script was killed outright may still be going.
    if [ -f "$run/ctest" ] && read -r p start <"$run/ctest" && [ "$(ivra_proc_start "$p")" = "$start" ]; then
        kill -TERM -- "-$p" 2>/dev/null || true
    fi
    # A Wine server saves the registry as it ends: wait, or it writes into a removed folder.
    while IFS= read -r reg; do
        WINEPREFIX=$(dirname "$reg") timeout 30 "$IVRA_WINESERVER" -k >/dev/null 2>&1 || true
        WINEPREFIX=$(dirname "$reg") timeout 30 "$IVRA_WINESERVER" -w >/dev/null 2>&1 || true
    done < <(find "$run" -maxdepth 4 -name system.reg 2>/dev/null)
    # Wine programs whose server was killed some other way do not end on their own.
    for p in $(grep -lzs "^WINEPREFIX=$run/" /proc/[0-9]*/environ | cut -d/ -f3); do
        kill -KILL "$p" 2>/dev/null || true
    done
    if [ -f "$run/xpids" ]; then
        while read -r p; do
            case "$(cat "/proc/$p/comm" 2>/dev/null)" in
                Xvfb|Xephyr) kill "$p" 2>/dev/null || true ;;
            esac
        done <"$run/xpids"
    fi
    # A Wine server that was killed outright may still be saving into the folder.
    for p in 1 2 3 4 5 6 7 8 9 10; do
        rm -rf "$run" 2>/dev/null && [ ! -e "$run" ] && break
        sleep 0.5
    done
}

ivra_runs_sweep() {
    local run pid start
    [ -d "$IVRA_RUNS" ] || return 0
    for run in "$IVRA_RUNS"/* "$IVRA_RUNS"/.new.*; do
        [ -d "$run" ] || continue
        if [ -f "$run/owner" ]; then
            read -r pid start <"$run/owner" || true
            [ -n "$pid" ] && [ "$(ivra_proc_start "$pid")" = "$start" ] && continue
        elif [ -n "$(find "$run" -maxdepth 0 -mmin -10)" ]; then
            continue  # still being made by a starting run
        fi
        ivra_log "removing $run, left by a run that ended without cleaning up"
        ivra_run_end "$run"
    done
}

# Makes this shell's run folder and prints its path.
ivra_run_make() {
    local tmp run
    mkdir -p "$IVRA_RUNS" || return 1
    tmp=$(mktemp -d "$IVRA_RUNS/.new.XXXXXX") || return 1
    echo "$$ $(ivra_proc_start $$)" >"$tmp/owner"
    run="$IVRA_RUNS/$$"
    ivra_run_end "$run"
    mv "$tmp" "$run" || return 1
    printf '%s' "$run"
}

# The dependency prefix is keyed by the recipe that builds it, so a changed
# recipe builds anew beside the old one and an unchanged one is reused.
ivra_deps_prefix() {
    local key
    key=$(sha256sum "$IVRA_ROOT/scripts/build-deps" | cut -c1-12)
    printf '%s/%s' "$IVRA_DEPS" "$key"
}
