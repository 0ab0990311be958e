#!/usr/bin/env bash
# The road of an update, as a user would see it. A tray instance of the current build, configured
# to report to the vendor's service on 127.0.0.1 and with no "LastHit", sends its daily hit; the
# service answers with the next build, packed as Quenvar.exe in a signed cabinet. The update
# process must download and verify it, move the running file aside to Quenvar.old.exe, install
# the new one, register the old one for deletion at the next start, write "LastUpdate", close
# the tray instance and start the new version, whose next hit the service sees with its version.
# The same offer with a tampered package, with no signature, and with a signed two-folder cabinet
# whose second folder is damaged (its first folder holds the next build) must change nothing.
#   UpdateEndToEnd.sh BIN_DIR SERVICE_EXE WINE_RUN KEY_PEM NEXT_VERSION   (WINEPREFIX set)
set -euo pipefail
bin=$1
service=$2
wine_run=$3
key=$4
next_version=$5

work=$(mktemp -d /tmp/qv-update.XXXXXX)
service_pid=
tray_pid=
cleanup() {
    "$wine_run" "$work/app/Quenvar.exe" STOP >/dev/null 2>&1 || true
    for pid in $tray_pid $service_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    ps -eo pid,args | grep -F "qv-update" | grep -v grep >&2 || true
    "$service" --db "$work/reports.db" --dump >&2 || true
    [ -f "$work/service.log" ] && cat "$work/service.log" >&2
    exit 1
}
now_ms() { date +%s%3N; }
winpath() { echo "Z:${1//\//\\}"; }
reg_value() { # KEY NAME -> data, empty when absent
    "$wine_run" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n { $1 = ""; $2 = ""; print substr($0, 3) }'
}
store='HKCU\Software\Quenvar'
session='HKLM\System\CurrentControlSet\Control\Session Manager'
# Processes that Wine started from the scratch program folder (the updater and a restarted
# instance; ShellExecute gives them their Windows path as process title, while those started here
# show their Unix path). The path goes through the environment: awk -v reads backslashes as escapes.
started_processes() { ps -eo args= | P="$(winpath "$work/app/Quenvar.exe")" awk 'index($0, ENVIRON["P"]) == 1' | wc -l; }
window_up() { xdotool search --onlyvisible --name '^Quenvar$' >/dev/null 2>&1; }
window_down() { ! window_up; }
tray_gone() { ! kill -0 "$tray_pid" 2>/dev/null; }
none_started() { [ "$(started_processes)" -eq 0 ]; }
update_running() { [ "$(started_processes)" -ge 1 ]; }
# The updater (its Windows path and /UPDATE) has ended.
updater_ended() {
    [ "$(ps -eo args= | P="$(winpath "$work/app/Quenvar.exe") /UPDATE" awk 'index($0, ENVIRON["P"]) == 1' | wc -l)" -eq 0 ]
}
# No updater runs, and still none a second later.
updater_gone() { none_started && sleep 1 && none_started; }
hits_of() { "$service" --db "$work/reports.db" --dump | awk -F'\t' -v v="QUENVAR=$1" '$3 == "SendLog" && $9 == v' | wc -l; }
wait_for() { # SECONDS COMMAND...: true once COMMAND succeeds
    local until=$(($(now_ms) + $1 * 1000))
    shift
    while [ "$(now_ms)" -lt "$until" ]; do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}
at_least() { [ "$("${@:2}")" -ge "$1" ]; }

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
base="http://127.0.0.1:$port"
# start_service PACKAGE_NAME: the service offers files/PACKAGE_NAME to clients older than the next build.
start_service() {
    if [ -n "$service_pid" ]; then
        kill "$service_pid"
        wait "$service_pid" 2>/dev/null || true
    fi
    rm -f "$work/port"
    "$service" --db "$work/reports.db" --port "$port" --port-file "$work/port" --files "$work/files" \
        --offer-version "$next_version" --offer-url "$base/files/$1" >"$work/service.log" 2>&1 &
    service_pid=$!
    wait_for 10 test -s "$work/port" || fail "the service did not start"
}

# Both builds report to the service. The package: the next build as Quenvar.exe in a cabinet,
# signed with the vendor's key. A tampered copy carries the good signature; another copy has none.
mkdir -p "$work/app" "$work/files" "$work/pkg"
"$wine_run" "$bin/QVConfig.exe" write "$(winpath "$bin/QuenvarUpdCurrent.exe")" "$(winpath "$work/current.exe")" 10 \
    "$base/api/client.asmx/" || fail "QVConfig write"
"$wine_run" "$bin/QVConfig.exe" write "$(winpath "$bin/QuenvarUpdNext.exe")" "$(winpath "$work/pkg/Quenvar.exe")" 10 \
    "$base/api/client.asmx/" || fail "QVConfig write"
cp "$work/pkg/Quenvar.exe" "$work/next.exe"
(cd "$work/pkg" && gcab -c -z "$work/files/Quenvar-next.cab" Quenvar.exe) || fail "gcab"
"$service" --sign "$key" "$work/files/Quenvar-next.cab" >/dev/null || fail "signing"
cp "$work/files/Quenvar-next.cab" "$work/files/Quenvar-tampered.cab"
printf 'X' | dd of="$work/files/Quenvar-tampered.cab" bs=1 seek=200 conv=notrunc status=none
cp "$work/files/Quenvar-next.cab.sig" "$work/files/Quenvar-tampered.cab.sig"
cp "$work/files/Quenvar-next.cab" "$work/files/Quenvar-unsigned.cab"
# Two MSZIP folders, written here block by block: the next build in the first, a library in the
# second, whose first data block loses its "CK" signature. Signed as it is, so only extracting it
# can find the damage.
head -c 50000 /dev/urandom >"$work/pkg/helper.dll"
python3 - "$work/files/Quenvar-damaged.cab" "$work/pkg/Quenvar.exe" "$work/pkg/helper.dll" <<'EOF' || fail "two-folder cabinet"
import struct, sys, zlib
out, first, second = sys.argv[1:4]
def blocks(data):
    for i in range(0, max(len(data), 1), 32768):
        chunk = data[i:i + 32768]
        packer = zlib.compressobj(9, zlib.DEFLATED, -15)
        yield b"CK" + packer.compress(chunk) + packer.flush(), len(chunk)
entries = [("Quenvar.exe", open(first, "rb").read()), ("helper.dll", open(second, "rb").read())]
files = b"".join(struct.pack("<IIHHHH", len(d), 0, i, 0x5A21, 0x6000, 0x20) + n.encode() + b"\0"
                 for i, (n, d) in enumerate(entries))
folders_at = 36
files_at = folders_at + 8 * len(entries)
offset = files_at + len(files)
folders, data = b"", b""
for index, (_, d) in enumerate(entries):
    parts = list(blocks(d))
    folders += struct.pack("<IHH", offset + len(data), len(parts), 1)
    for number, (packed, size) in enumerate(parts):
        if index == 1 and number == 0:
            packed = b"XX" + packed[2:]
        data += struct.pack("<IHH", 0, len(packed), size) + packed
size = offset + len(data)
header = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, size, 0, files_at, 0, 3, 1, len(entries), len(entries), 0, 0, 0)
open(out, "wb").write(header + folders + files + data)
EOF
"$service" --sign "$key" "$work/files/Quenvar-damaged.cab" >/dev/null || fail "signing"

# install_current: the program folder holds the configured current build and nothing else.
install_current() {
    rm -rf "$work/app"
    mkdir -p "$work/app"
    cp "$work/current.exe" "$work/app/Quenvar.exe"
    "$wine_run" reg delete "$store" /v LastHit /f >/dev/null 2>&1 || true
    "$wine_run" reg delete "$store" /v LastUpdate /f >/dev/null 2>&1 || true
}
start_tray() {
    "$wine_run" "$work/app/Quenvar.exe" TRAY >/dev/null 2>&1 &
    tray_pid=$!
}

# --- A signed package is installed and the new version started.
start_service Quenvar-next.cab
install_current
# Watches the installed file for the moment it is missing or incomplete: from the rename to the
# new file being whole.
python3 - "$work/app/Quenvar.exe" "$(stat -c %s "$work/next.exe")" >"$work/gap" <<'EOF' &
import os, sys, time
path, size = sys.argv[1], int(sys.argv[2])
gone = None
end = time.monotonic() + 120
while time.monotonic() < end:
    try:
        whole = os.stat(path).st_size == size
    except FileNotFoundError:
        whole = False
    now = time.monotonic()
    if not whole and gone is None:
        gone = now
    elif whole and gone is not None:
        print("%.1f" % ((now - gone) * 1000))
        sys.exit(0)
    time.sleep(0.0005)
print("unknown")
EOF
watcher_pid=$!
start=$(now_ms)
start_tray
wait_for 60 at_least 1 hits_of 1.0.0.1 || fail "no hit from the current build"
hit=$(now_ms)
wait_for 90 window_up || fail "the new version's window did not come up"
window=$(now_ms)
wait "$watcher_pid" || true
cmp -s "$work/app/Quenvar.exe" "$work/next.exe" || fail "Quenvar.exe is not the next build"
cmp -s "$work/app/Quenvar.old.exe" "$work/current.exe" || fail "Quenvar.old.exe is not the previous build"
wait_for 15 tray_gone || fail "the tray instance did not end"
# A restart ends every process first: the updater runs from the moved-aside file, which cannot be
# deleted while it runs. It ends soon after the new window is up.
wait_for 15 updater_ended || fail "the updater did not end"
# Every Wine start-up (each wine-run.sh call runs wineboot) carries out the pending renames, so the
# registration is checked by its effect: a simulated restart deletes the moved-aside file.
"$wine_run" wineboot -r >/dev/null 2>&1 || true
[ ! -e "$work/app/Quenvar.old.exe" ] || fail "Quenvar.old.exe was not registered for deletion at the next start"
cmp -s "$work/app/Quenvar.exe" "$work/next.exe" || fail "the restart changed Quenvar.exe"
[ -z "$(reg_value "$session" PendingFileRenameOperations)" ] || fail "renames left pending after the restart"
[ -n "$(reg_value "$store" LastUpdate)" ] || fail "no LastUpdate"
[ -z "$(ls -A "$work/app/Update")" ] || fail "the update folder is not empty: $(ls "$work/app/Update")"
echo "measured: hit to new window $((window - hit)) ms (tray start to hit $((hit - start)) ms);" \
    "installed file unavailable for $(cat "$work/gap") ms"

# The new version sends its own hit on a later day: it is seen with its version and offered nothing.
"$wine_run" "$work/app/Quenvar.exe" STOP >/dev/null 2>&1
wait_for 15 window_down || fail "the new version's window did not close"
wait_for 15 none_started || fail "the new version did not end"
"$wine_run" reg delete "$store" /v LastHit /f >/dev/null 2>&1 || true
start_tray
wait_for 60 at_least 1 hits_of "$next_version" || fail "no hit from the new version"
sleep 3
none_started || fail "the new version started another update"
cmp -s "$work/app/Quenvar.exe" "$work/next.exe" || fail "the new version changed"
"$wine_run" "$work/app/Quenvar.exe" STOP >/dev/null 2>&1
wait "$tray_pid" 2>/dev/null || true
tray_pid=

# --- A tampered package, one without a signature and a signed one that cannot be extracted completely:
# nothing changes, the old version keeps running.
for package in Quenvar-tampered.cab Quenvar-unsigned.cab Quenvar-damaged.cab; do
    start_service "$package"
    install_current
    before=$(cd "$work/app" && find . -type f -exec sha256sum {} + | sort)
    hits=$(hits_of 1.0.0.1)
    start_tray
    wait_for 60 at_least $((hits + 1)) hits_of 1.0.0.1 || fail "$package: no hit"
    # The update process comes and goes; then only the tray instance runs from the folder.
    wait_for 10 update_running || true
    wait_for 30 updater_gone || fail "$package: the update process did not end"
    [ -d "$work/app/Update" ] || fail "$package: the updater did not run"
    cmp -s "$work/app/Quenvar.exe" "$work/current.exe" || fail "$package: Quenvar.exe changed"
    [ ! -e "$work/app/Quenvar.old.exe" ] || fail "$package: the running file was moved aside"
    [ -z "$(ls -A "$work/app/Update" 2>/dev/null)" ] || fail "$package: downloads left: $(ls "$work/app/Update")"
    [ "$(cd "$work/app" && find . -type f -exec sha256sum {} + | sort)" = "$before" ] ||
        fail "$package: the program folder changed"
    [ -z "$(reg_value "$store" LastUpdate)" ] || fail "$package: LastUpdate written"
    kill -0 "$tray_pid" 2>/dev/null || fail "$package: the tray instance ended"
    window_up && fail "$package: a window was started"
    "$wine_run" "$work/app/Quenvar.exe" STOP >/dev/null 2>&1
    wait "$tray_pid" 2>/dev/null || true
    tray_pid=
done
echo "passed: signed update installed and restarted; tampered, unsigned and damaged packages refused"
