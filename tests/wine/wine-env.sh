#!/usr/bin/env bash
# Runs Windows programs of this project under Wine, headless, in a prefix of
# their own, with COM ports that lead to pseudo-terminals.
#
#   wine-env.sh init    PREFIX             make the prefix (once; later calls return at once)
#   wine-env.sh map     PREFIX COMn PATH   let COMn lead to PATH (a pty or a symlink to one)
#   wine-env.sh unmap   PREFIX COMn        take COMn away
#   wine-env.sh set     PREFIX [COMn=PATH...]
#                                          map exactly these, unmapping every other
#                                          port; mappings already so are left alone,
#                                          and when all are, no restart is due
#   wine-env.sh restart PREFIX             stop the wine server so that the next start
#                                          reads the mappings; checks that they all appear
#   wine-env.sh ports   PREFIX             print the COM names a program will see, in the
#                                          order QueryDosDeviceA lists them
#   wine-env.sh run     PREFIX EXE ARGS... run EXE; exits with EXE's status, or 125 when
#                                          the prefix could not be made ready
#   wine-env.sh appear  PREFIX COMn PATH   while a program runs: COMn leads to PATH and joins
#                                          the device-name list, as a port plugged in does
#   wine-env.sh stop    PREFIX             stop the wine server and every process of the prefix
#   wine-env.sh devices PREFIX [ID=COMn=NAME...]
#                                          exactly these Ports-class devices for SetupAPI
#                                          (ACPI\PNP0501\1=COM3=Communications Port (COM3))
#
# With WINE_ENV_STARTED_FILE set, run creates that file once the prefix is
# ready, right before EXE starts, so that a test can time what it does to
# the running program from the program's start.
#
# Sourcing the file defines the same commands as wine_env_init, wine_env_map,
# ... without running any. PREFIX need not exist; every command but stop and appear
# makes it first. map, unmap and set take effect at the next start of the wine
# server: run restarts it by itself when a mapping changed since, but a
# restart kills whatever else runs in the prefix, so map before running
# programs in parallel. Environment: WINE and WINESERVER override the
# programs used; MINGW_CC the compiler of the helper (see below); a WINEDEBUG
# already set is kept; WINE_ENV_PAD_NAMES=N has the helper add N names that
# are no port to the device-name list while EXE runs (see the helper).
#
# What Wine 8.0 does here, as measured on Debian 12, and what follows:
#
# - A fresh prefix takes 5 to 10 s and about 700 MB (Wine copies its DLLs
#   into it). Without DISPLAY nothing needs an X server; with
#   WINEDLLOVERRIDES="mscoree,mshtml=" wineboot does not offer to install
#   Mono or Gecko. The prefix may be an existing empty folder, so the lock
#   file can live in it.
# - Debian's wineserver wrapper passes -p0: a server that Wine starts for
#   a program ends one to a few seconds after its last program. A program
#   that connects just as it ends dies at once ("wine client error:0:
#   recvmsg: Connection reset by peer"); between two tests on a loaded
#   machine that took 2 runs of the windows preset in 10. Every command
#   here but init's first wineboot therefore starts the server itself, with
#   -p60, so that it lives on between the programs of a test run, which
#   ends it with stop. Stopping it (wineserver -k) takes under 1 s; the
#   first program after a start takes about 1 s, since the start brings up
#   Wine's services; each further trivial program about 0.05 s (0.15 s
#   through "run").
# - COM ports come from HKLM\Software\Wine\Ports (value COMn, type REG_SZ,
#   data a Unix path), read by Wine's mount manager only when the server
#   starts; it then links dosdevices/comN to the path and puts COMn in the
#   device-name list. COM1 to COM255 work (COM120 included); COM256 and up
#   are ignored. A value name of seven or more characters (COM1000) makes
#   Wine ignore every value that sorts after it, hence the check in map.
# - The mount manager also gives COM numbers to the host's /dev/ttyS*,
#   /dev/ttyUSB* and /dev/ttyACM*, from COM1 up, skipping numbers mapped in
#   the registry, on every server start, in any prefix; no registry value
#   stops that (an empty value only moves the host port to the next free
#   number and still lists the empty one). On the project's Debian machines
#   /dev/ttyS0 exists, opens, and is the machine's console. The helper (wine-env-helper.c,
#   built into the prefix with mingw-w64) therefore removes every unmapped
#   COM name from the list once the services are up, and this script
#   removes the matching dosdevices links, before each program runs. The
#   helper stays alive while the program runs, so that the server, and with
#   it the cleaned list, cannot end and restart in between.
#   Known limit: when so many low numbers are mapped that a host port lands
#   on COM10 or above, only the first run after a server start can remove it
#   (later ones fail with error 2 and exit 125); keep COM1 to COM9 partly
#   free, as every test here does.
# - A dosdevices/comN link without a registry value still opens, but is not
#   in the list; unmap removes the link as well. A dangling link does not
#   open (error 2). A registry-mapped port whose path has gone since the
#   server started, or was not there when it started, is listed all the
#   same and opens, but GetCommState then fails with error 1.
# - A port can join a running server without a restart, which is how appear
#   plugs one in: DefineDosDeviceA(DDD_RAW_TARGET_PATH) puts its name in the
#   list at once, and an open goes by the dosdevices link, so the link comes
#   first. A name defined with no link is listed but does not open, not even
#   with a \??\unix\PATH target. Both last until the server ends or the
#   next helper cleans the list.
# - QueryDosDeviceA lists names in the order of Wine's object directory
#   hash, neither numeric nor the order of mapping; "ports" tells it.
# - On a pty, CreateFileA("\\.\COMn"), GetCommState, SetCommState and
#   SetCommTimeouts all succeed (a pty reports 38400 baud at first). With
#   ReadIntervalTimeout = ReadTotalTimeoutMultiplier = MAXDWORD and a
#   constant, ReadFile returns a byte at once when one is buffered or as soon
#   as one arrives, and returns success with 0 bytes after the constant.
#   Bytes the peer sent while the port was closed are still read.
# - When the pty's peer hangs up during such a read, ReadFile mostly does
#   not fail: it spins on the hung-up descriptor (full CPU) until the
#   constant has passed, then returns success with 0 bytes, as a timeout; so
#   do the reads after it. Rarely (1 run in 40 on a loaded machine, none
#   in 30 idle) it fails with error 21 instead. WriteFile to a pty whose
#   peer hung up fails.
# - Debian builds Wine without its preloader: the loader, wine64, is linked
#   at 0x7d000000, and the kernel puts the program break anywhere in the
#   1 GiB above it. When the break lands on 0x7ffe0000, where Wine maps the
#   shared user data, the process dies before the program starts ("failed to
#   map the shared user data: c0000018", exit status 1, nothing printed under
#   WINEDEBUG=-all): about one start in 5000, so a test run now and then. It
#   hits the program, the helper, or the wineboot of a new server, and then
#   every process that waits for that boot waits in vain. Every Wine start
#   here therefore runs under setarch -R, which leaves the break right after
#   the loader, far below that address.
# - Debian's /usr/bin/wine is a launcher that picks wine64 when the 32-bit
#   part is missing and, unless WINEDEBUG holds -all, says so on stderr.
# - The first process of a new server starts wineboot, and every process
#   that joins before wineboot is done waits for it, holding its event. When
#   that wineboot dies at its start, the first process goes on without
#   services, and the waiters, and every later process they keep that event
#   alive for, wait in vain: two tests that started side by side on a cold
#   prefix both gave up after 150 s. A process that starts alone after a
#   failed boot runs wineboot anew. So the helper of "run" and "ports", the
#   only start here that may be first in a new server, starts under the
#   prefix's lock and keeps it until the services are up.
# - Wine's background processes (services, winedevice) inherit the standard
#   output and error of the program that started the server and keep them
#   open until the server ends, which holds up anything waiting for end of
#   file on them (ctest, $(...)). Every Wine start here other than EXE itself
#   therefore writes to a log file inside the prefix.

wine_env_fail() {
    echo "wine-env.sh: $*" >&2
    return 125
}

# Exports the environment for PREFIX; every command starts with it.
wine_env_setup() {
    [[ $# -ge 1 && -n $1 ]] || { wine_env_fail "no prefix given"; return; }
    WINEPREFIX=$(realpath -m -- "$1") || return 125
    export WINEPREFIX
    # The helper may start the server; Wine's reasons for a failed start go
    # from it, and from the services it starts, into the log.
    WINE_ENV_HELPER_DEBUG=${WINEDEBUG:--all,err+environ,err+virtual}
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
    unset DISPLAY WAYLAND_DISPLAY
    if [[ -z ${WINE:-} ]]; then
        WINE=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
    fi
    if [[ -z ${WINESERVER:-} ]]; then
        WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
    fi
    # Without address-space randomisation (see the notes above); where the
    # personality cannot be set, Wine runs as it is.
    WINE_ENV_WINE=("$WINE")
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        WINE_ENV_WINE=(setarch "$(uname -m)" -R "$WINE")
    fi
    WINE_ENV_HELPER_SOURCE="$(dirname -- "$(realpath -- "${BASH_SOURCE[0]}")")/wine-env-helper.c"
    WINE_ENV_HELPER="$WINEPREFIX/wine-env-helper.exe"
    WINE_ENV_LOG="$WINEPREFIX/wine-env.log"
}

# Runs the rest of the arguments with the prefix's lock held, so that
# parallel callers neither build the prefix twice nor restart it under each
# other.
wine_env_locked() {
    mkdir -p -- "$WINEPREFIX" || return 125
    local lock_fd
    exec {lock_fd}>>"$WINEPREFIX/wine-env.lock" || return 125
    if ! flock -w 600 "$lock_fd"; then
        exec {lock_fd}>&-
        wine_env_fail "waited 600 s for the lock of $WINEPREFIX"
        return
    fi
    WINE_ENV_LOCK_FD=$lock_fd
    "$@"
    local status=$?
    WINE_ENV_LOCK_FD=
    exec {lock_fd}>&-
    return $status
}

# Runs a command without the lock's descriptor: a wine server or service
# started by it would otherwise hold the lock for as long as it lives.
wine_env_spawn() {
    if [[ -n ${WINE_ENV_LOCK_FD:-} ]]; then
        local fd=$WINE_ENV_LOCK_FD
        "$@" {fd}>&-
    else
        "$@"
    fi
}

wine_env_make_prefix() {
    if [[ ! -f $WINEPREFIX/wine-env.ready ]]; then
        if ! wine_env_spawn timeout 600 "${WINE_ENV_WINE[@]}" wineboot --init \
                >>"$WINE_ENV_LOG" 2>&1 </dev/null; then
            wine_env_fail "wineboot failed in $WINEPREFIX; see $WINE_ENV_LOG"
            return
        fi
        # A program started while the new prefix's first server winds down
        # can meet a second set of services and a mount manager that never
        # reports running; waiting for the end avoids that.
        if ! wine_env_spawn timeout 120 "$WINESERVER" -w >>"$WINE_ENV_LOG" 2>&1 </dev/null; then
            wine_env_fail "the first wine server of $WINEPREFIX did not end within 120 s"
            return
        fi
        touch "$WINEPREFIX/wine-env.ready"
    fi
    if [[ ! -f $WINE_ENV_HELPER || $WINE_ENV_HELPER_SOURCE -nt $WINE_ENV_HELPER ]]; then
        local cc=${MINGW_CC:-x86_64-w64-mingw32-gcc}
        if ! "$cc" -std=c11 -O2 -Wall -Wextra -static -s -o "$WINE_ENV_HELPER.tmp" \
                "$WINE_ENV_HELPER_SOURCE" -ladvapi32 >>"$WINE_ENV_LOG" 2>&1; then
            wine_env_fail "cannot build the helper; see $WINE_ENV_LOG"
            return
        fi
        mv -f -- "$WINE_ENV_HELPER.tmp" "$WINE_ENV_HELPER"
    fi
    wine_env_start_server
}

# Starts the server for the next minute of idleness; one that already runs
# stays as it is (and this fails quietly).
wine_env_start_server() {
    wine_env_spawn "$WINESERVER" -p60 >>"$WINE_ENV_LOG" 2>&1 </dev/null
    return 0
}

wine_env_init() {
    wine_env_setup "$@" || return
    wine_env_locked wine_env_make_prefix
}

# Prints the number of a COM name accepted by Wine's Ports key.
wine_env_port_number() {
    local name=${1^^}
    if [[ $name =~ ^COM([1-9][0-9]{0,2})$ ]] && ((BASH_REMATCH[1] <= 255)); then
        echo "${BASH_REMATCH[1]}"
    else
        wine_env_fail "$1 is not a COM port Wine can map (COM1 to COM255)"
    fi
}

wine_env_kill_server() {
    wine_env_spawn "$WINESERVER" -k >>"$WINE_ENV_LOG" 2>&1 </dev/null
    if ! wine_env_spawn timeout 60 "$WINESERVER" -w >>"$WINE_ENV_LOG" 2>&1 </dev/null; then
        wine_env_fail "the wine server of $WINEPREFIX did not end within 60 s"
        return
    fi
}

wine_env_map_locked() {
    local number=$1 target=$2
    wine_env_make_prefix || return
    if ! wine_env_spawn timeout 120 "${WINE_ENV_WINE[@]}" reg add 'HKLM\Software\Wine\Ports' \
            /v "COM$number" /t REG_SZ /d "$target" /f >>"$WINE_ENV_LOG" 2>&1 </dev/null; then
        wine_env_fail "cannot map COM$number; see $WINE_ENV_LOG"
        return
    fi
    touch "$WINEPREFIX/wine-env.changed"
}

wine_env_map() {
    [[ $# -eq 3 ]] || { wine_env_fail "usage: map PREFIX COMn PATH"; return; }
    wine_env_setup "$1" || return
    local number target
    number=$(wine_env_port_number "$2") || return
    # The path is kept as given, not resolved: a pty behind a symlink gets a
    # new number each time its owner starts, and the link follows it.
    target=$(realpath -m -s -- "$3") || return 125
    wine_env_locked wine_env_map_locked "$number" "$target"
}

wine_env_unmap_locked() {
    local number=$1
    wine_env_make_prefix || return
    # reg fails when the value is not there, which is already the wanted end.
    wine_env_spawn timeout 120 "${WINE_ENV_WINE[@]}" reg delete 'HKLM\Software\Wine\Ports' \
        /v "COM$number" /f >>"$WINE_ENV_LOG" 2>&1 </dev/null
    rm -f -- "$WINEPREFIX/dosdevices/com$number"
    touch "$WINEPREFIX/wine-env.changed"
}

wine_env_unmap() {
    [[ $# -eq 2 ]] || { wine_env_fail "usage: unmap PREFIX COMn"; return; }
    wine_env_setup "$1" || return
    local number
    number=$(wine_env_port_number "$2") || return
    wine_env_locked wine_env_unmap_locked "$number"
}

# Prints "COMn PATH" for each port mapped in the registry now.
wine_env_read_mappings() {
    # Into a file, not through a pipe: a server started by the query would
    # hand the pipe on to Wine's services and hold it open.
    local listing="$WINEPREFIX/wine-env.query"
    rm -f -- "$listing"
    # reg fails when the key is missing, which means nothing is mapped.
    wine_env_spawn timeout 120 "${WINE_ENV_WINE[@]}" reg query 'HKLM\Software\Wine\Ports' \
        >"$listing" 2>>"$WINE_ENV_LOG" </dev/null
    local line
    while IFS= read -r line; do
        line=${line%$'\r'}
        # reg prints a value as four spaces, name, four spaces, type, four
        # spaces, data; the data may hold spaces itself.
        if [[ $line =~ ^\ {4}([^\ ]+)\ {4}REG_[A-Z_]+(\ {4}(.*))?$ ]]; then
            printf '%s %s\n' "${BASH_REMATCH[1]^^}" "${BASH_REMATCH[3]}"
        fi
    done <"$listing"
    rm -f -- "$listing"
}

wine_env_set_locked() {
    wine_env_make_prefix || return
    local -A wanted=() current=()
    local pair name target
    for pair in "$@"; do
        wanted[COM${pair%%=*}]=${pair#*=}
    done
    while read -r name target; do
        current[$name]=$target
    done < <(wine_env_read_mappings)
    local changed=0
    for name in "${!current[@]}"; do
        [[ -v wanted[$name] ]] && continue
        wine_env_spawn timeout 120 "${WINE_ENV_WINE[@]}" reg delete 'HKLM\Software\Wine\Ports' /v "$name" /f \
            >>"$WINE_ENV_LOG" 2>&1 </dev/null
        rm -f -- "$WINEPREFIX/dosdevices/${name,,}"
        changed=1
    done
    for name in "${!wanted[@]}"; do
        [[ -v current[$name] && ${current[$name]} == "${wanted[$name]}" ]] && continue
        if ! wine_env_spawn timeout 120 "${WINE_ENV_WINE[@]}" reg add 'HKLM\Software\Wine\Ports' \
                /v "$name" /t REG_SZ /d "${wanted[$name]}" /f >>"$WINE_ENV_LOG" 2>&1 </dev/null; then
            touch "$WINEPREFIX/wine-env.changed"
            wine_env_fail "cannot map $name; see $WINE_ENV_LOG"
            return
        fi
        changed=1
    done
    if ((changed)); then
        touch "$WINEPREFIX/wine-env.changed"
    fi
}

wine_env_set() {
    [[ $# -ge 1 ]] || { wine_env_fail "usage: set PREFIX [COMn=PATH...]"; return; }
    wine_env_setup "$1" || return
    shift
    local -a pairs=()
    local argument number target
    for argument in "$@"; do
        [[ $argument == *=* ]] || { wine_env_fail "not of the form COMn=PATH: $argument"; return; }
        number=$(wine_env_port_number "${argument%%=*}") || return
        target=$(realpath -m -s -- "${argument#*=}") || return 125
        pairs+=("$number=$target")
    done
    wine_env_locked wine_env_set_locked "${pairs[@]}"
}

# Starts the helper, which cleans the device-name list and keeps the server
# alive until wine_env_release. Sets WINE_ENV_KEPT to the COM names left and
# WINE_ENV_MISSING to the mapped names the server did not list.
wine_env_hold() {
    WINE_ENV_KEPT=()
    WINE_ENV_MISSING=()
    local -a kept=() hold=(hold)
    [[ -n ${WINE_ENV_PAD_NAMES:-} ]] && hold+=("$WINE_ENV_PAD_NAMES")
    coproc WINE_ENV_HOLDER {
        WINEDEBUG=$WINE_ENV_HELPER_DEBUG wine_env_spawn exec "${WINE_ENV_WINE[@]}" "$WINE_ENV_HELPER" "${hold[@]}" \
            2>>"$WINE_ENV_LOG"
    }
    WINE_ENV_HOLDER_IN=${WINE_ENV_HOLDER[1]}
    WINE_ENV_HOLDER_OUT=${WINE_ENV_HOLDER[0]}
    # shellcheck disable=SC2153 # set by coproc
    WINE_ENV_HOLDER_CHILD=$WINE_ENV_HOLDER_PID
    # Longer than the helper's own wait for the services, so that its reason
    # reaches the log first.
    local line word name deadline=$((SECONDS + 150)) ready=0
    # Short reads, so that a helper that died early is noticed at once: Wine's
    # services may hold its output open, and no end of file would come.
    while ((SECONDS < deadline)); do
        if read -r -t 1 -u "$WINE_ENV_HOLDER_OUT" line; then
            read -r word name <<<"${line%$'\r'}"
            case $word in
                ready) ready=1; break ;;
                keep) kept+=("$name") ;;
                missing) WINE_ENV_MISSING+=("$name") ;;
            esac
        elif ! kill -0 "$WINE_ENV_HOLDER_CHILD" 2>/dev/null; then
            break
        fi
    done
    if ((!ready)); then
        wine_env_release now
        # The log stays on the machine that ran this; its end goes along.
        wine_env_fail "the helper did not get $WINEPREFIX ready; the end of $WINE_ENV_LOG:
$(tail -n 5 -- "$WINE_ENV_LOG" 2>/dev/null)"
        return
    fi
    WINE_ENV_KEPT=("${kept[@]}")
    # Links of names that are not listed would still open (the host's
    # console among them); only the listed, mapped ones stay.
    local link base keep_it
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [[ -L $link ]] || continue
        base=${link##*/}
        keep_it=0
        for name in "${kept[@]}"; do
            [[ ${name,,} == "$base" ]] && keep_it=1
        done
        ((keep_it)) || rm -f -- "$link"
    done
}

# With "now", the helper is not given time to end by itself: it never got
# ready, and is most likely stuck in Wine's start.
wine_env_release() {
    local pid=${WINE_ENV_HOLDER_CHILD:-}
    WINE_ENV_HOLDER_CHILD=
    # A redirection on a bare exec stays for the rest of the script, so
    # stderr must not be touched here: later failures are reported on it.
    [[ -n ${WINE_ENV_HOLDER_IN:-} ]] && exec {WINE_ENV_HOLDER_IN}>&-
    [[ -n ${WINE_ENV_HOLDER_OUT:-} ]] && exec {WINE_ENV_HOLDER_OUT}<&-
    WINE_ENV_HOLDER_IN=
    WINE_ENV_HOLDER_OUT=
    [[ -n $pid ]] || return 0
    local tries limit=300
    [[ ${1:-} == now ]] && limit=0
    for ((tries = 0; tries < limit; tries++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill "$pid" 2>/dev/null
    for ((tries = 0; tries < 50; tries++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

wine_env_restart_locked() {
    wine_env_make_prefix || return
    wine_env_kill_server || return
    rm -f -- "$WINEPREFIX/wine-env.changed"
    wine_env_start_server
    # Starting it again at once proves the mappings and leaves a warm server
    # for the next program.
    wine_env_hold || return
    wine_env_release
    if ((${#WINE_ENV_MISSING[@]} > 0)); then
        wine_env_fail "Wine did not list ${WINE_ENV_MISSING[*]}; see $WINE_ENV_LOG"
        return
    fi
}

wine_env_restart() {
    [[ $# -eq 1 ]] || { wine_env_fail "usage: restart PREFIX"; return; }
    wine_env_setup "$1" || return
    wine_env_locked wine_env_restart_locked
}

wine_env_stop() {
    [[ $# -eq 1 ]] || { wine_env_fail "usage: stop PREFIX"; return; }
    wine_env_setup "$1" || return
    [[ -d $WINEPREFIX ]] || return 0
    wine_env_locked wine_env_kill_server
}

# Makes the prefix ready for a program: built, and restarted when a mapping
# changed since the server started.
wine_env_prepare_locked() {
    wine_env_make_prefix || return
    if [[ -f $WINEPREFIX/wine-env.changed ]]; then
        wine_env_restart_locked || return
    fi
}

# The same, then the helper, which starts with the lock still held: see the
# notes on wineboot.
wine_env_hold_locked() {
    wine_env_prepare_locked || return
    wine_env_hold
}

wine_env_ports() {
    [[ $# -eq 1 ]] || { wine_env_fail "usage: ports PREFIX"; return; }
    wine_env_setup "$1" || return
    wine_env_locked wine_env_hold_locked || return
    wine_env_release
    if ((${#WINE_ENV_KEPT[@]} > 0)); then
        printf '%s\n' "${WINE_ENV_KEPT[@]}"
    fi
}

wine_env_run() {
    [[ $# -ge 2 ]] || { wine_env_fail "usage: run PREFIX EXE [ARGS...]"; return; }
    wine_env_setup "$1" || return
    shift
    wine_env_locked wine_env_hold_locked || return
    # The program must not inherit the helper's pipes, or the helper would
    # wait for the program's end-of-file as well as ours.
    local in_fd=$WINE_ENV_HOLDER_IN out_fd=$WINE_ENV_HOLDER_OUT
    [[ -z ${WINE_ENV_STARTED_FILE:-} ]] || : >"$WINE_ENV_STARTED_FILE"
    "${WINE_ENV_WINE[@]}" "$@" {in_fd}>&- {out_fd}<&-
    local status=$?
    wine_env_release
    return $status
}

wine_env_appear() {
    [[ $# -eq 3 ]] || { wine_env_fail "usage: appear PREFIX COMn PATH"; return; }
    wine_env_setup "$1" || return
    local number target
    number=$(wine_env_port_number "$2") || return
    target=$(realpath -m -s -- "$3") || return 125
    ln -sfn -- "$target" "$WINEPREFIX/dosdevices/com$number" || return 125
    if ! timeout 120 "${WINE_ENV_WINE[@]}" "$WINE_ENV_HELPER" define "COM$number" "\\??\\unix$target" \
            >>"$WINE_ENV_LOG" 2>&1 </dev/null; then
        wine_env_fail "cannot define COM$number; see $WINE_ENV_LOG"
        return
    fi
}

# Wine's SetupAPI lists, with DIGCF_PRESENT, a device only the registry
# knows: its Enum key with the Ports class (and a FriendlyName), PortName
# under Device Parameters. UTF-16, as regedit's own files, keeps any name.
wine_env_devices_locked() {
    wine_env_make_prefix || return
    local made="$WINEPREFIX/wine-env.devices" file="$WINEPREFIX/wine-env.devices.reg" spec id name
    local enum='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum'
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        [[ ! -f $made ]] || sed "s/.*/[-${enum//\\/\\\\}\\\\&]\r\n\r/" "$made"
        for spec in "$@"; do
            IFS== read -r id port name <<<"$spec"
            name=${name//\\/\\\\}
            printf '[%s\\%s]\r\n"ClassGUID"="{4d36e978-e325-11ce-bfc1-08002be10318}"\r\n' "$enum" "$id"
            printf '"FriendlyName"="%s"\r\n\r\n[%s\\%s\\Device Parameters]\r\n"PortName"="%s"\r\n\r\n' \
                "${name//\"/\\\"}" "$enum" "$id" "$port"
        done
    } | { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } >"$file" || return 125
    wine_env_spawn timeout 120 "${WINE_ENV_WINE[@]}" reg import "$file" >>"$WINE_ENV_LOG" 2>&1 </dev/null ||
        { wine_env_fail "cannot import $file; see $WINE_ENV_LOG"; return; }
    printf '%s\n' "${@%%=*}" | sed '/^$/d' >"$made"
}

wine_env_devices() {
    [[ $# -ge 1 ]] || { wine_env_fail "usage: devices PREFIX [ID=COMn=NAME...]"; return; }
    wine_env_setup "$1" || return
    wine_env_locked wine_env_devices_locked "${@:2}"
}

wine_env_main() {
    local command=${1:-}
    shift || true
    case $command in
        init | map | unmap | set | restart | ports | run | appear | stop | devices) "wine_env_$command" "$@" ;;
        *)
            sed -n '4,20s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
            return 2
            ;;
    esac
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -uo pipefail
    wine_env_main "$@"
    exit
fi
