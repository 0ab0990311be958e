#!/usr/bin/env bash
# The installer package under Wine's msiexec, with the vendor's service on 127.0.0.1. Two packages
# are built from resources/Quenvar.wxs around two builds of the program configured for the
# service, the current version and the next one, and then:
#   1. the current one is installed silently: files, shortcut, the machine's Run value (and no
#      per-user one), UID and its report, the Programs-and-Features entry;
#   2. after a SETLEVEL 2 and a tray start, which removes a per-user Run value an older version
#      left, the next one upgrades it silently while that tray instance runs: the instance is
#      closed, the file is replaced, one entry remains, the UID, the level and the machine's Run
#      value stay and no removal is reported;
#   3. it is removed silently: the removal is reported, the machine's Run value, the per-user
#      state, the files and the folder are gone and SCHANNEL is as it was before the installation;
#   4. an interactive installation starts the tray instance, an older package is then refused and
#      changes nothing, and a removal closes the running instance;
#   5. with a service that accepts connections and never answers, installation and removal still
#      complete within a bound, the removal puts SCHANNEL back before it waits on the network, and
#      a removal after the executable was deleted completes too.
# It prints the packages' size and the times of the silent installation, upgrade and removals.
# ARCH is wixl's architecture of the build: x64, or x86 for the 32-bit build, whose package installs
# as on 64-bit Windows: into "Program Files (x86)", its registry values (Programs and Features, the
# recorded package version) in the 32-bit view (WOW6432Node), and its hooks run under WOW64.
#   MsiEndToEnd.sh BIN_DIR SERVICE_EXE WINE_RUN WXS ICON CHECK_MSI VERSION MSI_VERSION NEXT_VERSION NEXT_MSI_VERSION ARCH
#   (WINEPREFIX set)
set -euo pipefail
bin=$1
service=$2
wine_run=$3
wxs=$4
icon=$5
check_msi=$6
version=$7
msi_version=$8
next_version=$9
next_msi_version=${10}
arch=${11}
# The package is built as the build makes it: wixl, then the custom action bits it cannot express.
make_msi=$(dirname "$check_msi")/make-msi.sh

work=$(mktemp -d /tmp/qv-msi.XXXXXX)
service_pid=
silent_pid=
installed_codes=()
http_saved=
cleanup() {
    set +e
    stop_instances
    for code in "${installed_codes[@]}"; do
        "$wine_run" msiexec /x "$code" /qn >/dev/null 2>&1
    done
    "$wine_run" reg delete "$run_key" /v Quenvar /f >/dev/null 2>&1
    "$wine_run" reg delete "$machine_run_key" /v Quenvar /f "$package_view" >/dev/null 2>&1
    "$wine_run" reg delete "$store" /f >/dev/null 2>&1
    "$wine_run" reg delete 'HKCR\http\shell' /f >/dev/null 2>&1
    [ -n "$http_saved" ] && "$wine_run" reg import "$(winpath "$work/http-shell.reg")" >/dev/null 2>&1
    for pid in $service_pid $silent_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    # The end of the last msiexec's log says why an installation failed.
    [ -f "$work/msiexec.log" ] && tr -d '\000\r' <"$work/msiexec.log" | tail -n 25 >&2
    exit 1
}

winpath() { echo "Z:${1//\//\\}"; }
reg_value() { # KEY NAME [VIEW] -> data, empty when absent
    "$wine_run" reg query "$1" /v "$2" ${3:+"$3"} 2>/dev/null | tr -d '\r' |
        awk -v n="$2" '$1 == n { $1 = ""; $2 = ""; sub(/^  */, ""); print }'
}
key_exists() { "$wine_run" reg query "$1" >/dev/null 2>&1; }
reports() { "$service" --db "$work/reports.db" --dump | tail -n +2; }
# Report columns: 4 action, 5 accepted, 8 uid.
reports_of_action() { reports | awk -F'\t' -v a="$1" '$4 == a { print $4, $5, $8 }'; }
now() { date +%s.%N; }
seconds_since() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.2f", e - s }'; }
product_code() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }'; }

store='HKCU\Software\Quenvar'
# The level is the machine's, beside the backup, in the 64-bit view.
machine_store='HKLM\SOFTWARE\Quenvar'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
machine_run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
schannel_key='HKLM\System\CurrentControlSet\Control\SecurityProviders\SCHANNEL'
package_key='HKLM\Software\Quenvar\Package'
prefix_dir=$WINEPREFIX/drive_c
case "$arch" in
x64)
    program_files='Program Files'
    package_view=/reg:64
    other_view=/reg:32
    ;;
x86)
    program_files='Program Files (x86)'
    package_view=/reg:32
    other_view=/reg:64
    ;;
*) fail "unknown architecture $arch" ;;
esac
app_dir="$prefix_dir/$program_files/Quenvar"
app_exe="C:\\$program_files\\Quenvar\\Quenvar.exe"

# Running instances of the installed executable in this prefix, as ps shows Wine's processes.
instances() {
    local pid
    for pid in $(pgrep -f "$(printf '%s' "$program_files" | sed 's/[()]/\\&/g').Quenvar.Quenvar\\.exe" || true); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done
    return 0
}
stop_instances() { [ -z "$(instances)" ] || "$wine_run" "$app_exe" /stop >/dev/null 2>&1; }
wait_for() { # SECONDS COMMAND...: true once COMMAND succeeds
    local deadline
    deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
tray_running() { [ -n "$(instances)" ]; }
tray_gone() { [ -z "$(instances)" ]; }

msiexec() { # ARGS...: msiexec's exit code, its log in $work/msiexec.log
    local rc=0
    "$wine_run" msiexec "$@" /l*v "$(winpath "$work/msiexec.log")" >/dev/null 2>&1 || rc=$?
    return $rc
}

# The entries of Programs and Features that carry the product's name, in the package's registry
# view (or in VIEW).
product_entries() {
    "$wine_run" reg query "$uninstall_key" /s "${1:-$package_view}" 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ { key = $0 } $1 == "DisplayName" && $3 == "Quenvar" { sub(/.*\\/, "", key); print key }'
}

"$service" --db "$work/reports.db" --port 0 --port-file "$work/port" >"$work/service.log" 2>&1 &
service_pid=$!
wait_for 5 test -s "$work/port" || fail "the service did not start"
port=$(cat "$work/port")
# The service out of reach: a listener that accepts every connection, holds it and never answers
# (a closed port would refuse at once, and an address that drops packets cannot be had on
# loopback). It appends a line to $work/accepted for each connection.
python3 -c '
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(16)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(s.getsockname()[1]))
import os; os.rename(sys.argv[1] + ".tmp", sys.argv[1])
held = []
while True:
    c, _ = s.accept()
    held.append(c)
    with open(sys.argv[2], "a") as f:
        f.write("accepted\n")
' "$work/silent-port" "$work/accepted" >/dev/null 2>&1 &
silent_pid=$!
wait_for 10 test -s "$work/silent-port" || fail "the silent listener did not start"
offline_port=$(cat "$work/silent-port")
accepted() { [ -f "$work/accepted" ] && wc -l <"$work/accepted" || echo 0; }

# SETLEVEL opens the protection page: the stand-in browser records it instead.
if key_exists 'HKCR\http\shell'; then
    "$wine_run" reg export 'HKCR\http\shell' "$(winpath "$work/http-shell.reg")" /y >/dev/null 2>&1 ||
        fail "cannot save the http handler"
    http_saved=1
fi
"$wine_run" reg delete 'HKCR\http\shell' /f >/dev/null 2>&1 || true
"$wine_run" reg add 'HKCR\http\shell\open\command' /ve /d "\"$(winpath "$bin/UrlRecorder.exe")\" \"$(winpath "$work/urls.log")\" \"%1\"" /f >/dev/null ||
    fail "cannot register the stand-in browser"

# package NAME EXE VERSION MSI_VERSION URL: $work/NAME.msi around a copy of EXE configured for URL.
package() {
    local dir="$work/$1"
    mkdir -p "$dir"
    "$wine_run" "$bin/QVConfig.exe" write "$(winpath "$2")" "$(winpath "$dir/Quenvar.exe")" 10 "$5" >/dev/null ||
        fail "QVConfig write for $1"
    cp "$icon" "$dir/Quenvar.ico"
    (cd "$dir" && bash "$make_msi" "$work/$1.msi" -a "$arch" -D Arch="$arch" -D Version="$3" -D MsiVersion="$4" \
        -D Exe=Quenvar.exe -D Icon=Quenvar.ico "$wxs") || fail "make-msi for $1"
    bash "$check_msi" "$work/$1.msi" "$4" || fail "the tables of $1"
}
service_url="http://127.0.0.1:$port/api/client.asmx/"
package old "$bin/QuenvarUpdCurrent.exe" "$version" "$msi_version" "$service_url"
package new "$bin/QuenvarUpdNext.exe" "$next_version" "$next_msi_version" "$service_url"
package offline "$bin/QuenvarUpdCurrent.exe" "$version" "$msi_version" "http://127.0.0.1:$offline_port/api/client.asmx/"
old_code=$(product_code "$work/old.msi")
new_code=$(product_code "$work/new.msi")
offline_code=$(product_code "$work/offline.msi")
[ "$old_code" != "$new_code" ] || fail "both versions have the ProductCode $old_code"
installed_codes=("$old_code" "$new_code" "$offline_code")
cmp -s "$work/old/Quenvar.exe" "$work/new/Quenvar.exe" && fail "both versions install the same file"

[ -z "$(product_entries)" ] || fail "a Quenvar product is installed before the test: $(product_entries)"
"$wine_run" reg delete "$store" /f >/dev/null 2>&1 || true
schannel_before=$("$wine_run" reg query "$schannel_key" /s 2>&1 | tr -d '\r')

# 1. A silent installation of the current version.
start=$(now)
msiexec /i "$(winpath "$work/old.msi")" /qn || fail "installing $version: exit code $?"
install_time=$(seconds_since "$start")
cmp -s "$app_dir/Quenvar.exe" "$work/old/Quenvar.exe" || fail "Program Files holds no copy of the installed program"
[ -n "$(find "$prefix_dir" -path '*/Start Menu/Programs/Quenvar.lnk' -print -quit)" ] || fail "no Start-menu shortcut"
[ "$(reg_value "$machine_run_key" Quenvar "$package_view")" = "\"$app_exe\" /tray" ] ||
    fail "the machine's Run value: $(reg_value "$machine_run_key" Quenvar "$package_view")"
[ -z "$(reg_value "$machine_run_key" Quenvar "$other_view")" ] || fail "a machine Run value in the other registry view"
[ -z "$(reg_value "$run_key" Quenvar)" ] || fail "a per-user Run value beside the machine's: $(reg_value "$run_key" Quenvar)"
uid=$(reg_value "$store" UID)
[ -n "$uid" ] || fail "the installation stored no UID"
[ "$(reports_of_action 1)" = "1 1 $uid" ] || fail "install report: $(reports) (UID $uid)"
[ "$(product_entries)" = "$old_code" ] || fail "Programs and Features: $(product_entries), not $old_code"
[ -z "$(product_entries "$other_view")" ] || fail "an entry in the other registry view: $(product_entries "$other_view")"
[ "$(reg_value "$uninstall_key\\$old_code" DisplayVersion "$package_view")" = "$msi_version" ] || fail "DisplayVersion"
[ "$(reg_value "$uninstall_key\\$old_code" Publisher "$package_view")" = Quenvar ] || fail "Publisher"
[ -n "$(reg_value "$uninstall_key\\$old_code" URLInfoAbout "$package_view")" ] || fail "URLInfoAbout"
[ "$(reg_value "$package_key" Version "$package_view")" = "$msi_version" ] || fail "the recorded package version"
tray_gone || fail "a silent installation started the tray instance"
# A logon (wineboot outside its first boot runs the Run keys as Windows does at a logon) starts the
# tray instance from the machine's Run value. Wine's 64-bit wineboot reads only the 64-bit view,
# where Windows' logon also reads WOW6432Node: the 32-bit package's value is checked in the table.
if [ "$arch" = x64 ]; then
    "$wine_run" wineboot >/dev/null 2>&1 || fail "wineboot: exit code $?"
    wait_for 30 tray_running || fail "a logon did not start the tray instance from the machine's Run value"
    stop_instances
    wait_for 10 tray_gone || fail "the tray instance started at the logon did not stop"
fi

# 2. A level, then a silent upgrade while the tray instance runs.
"$wine_run" "$app_exe" /setlevel 2 || fail "SETLEVEL 2: exit code $?"
schannel_level=$("$wine_run" reg query "$schannel_key" /s 2>&1 | tr -d '\r')
[ "$schannel_level" != "$schannel_before" ] || fail "SETLEVEL 2 changed nothing"
[ "$(reg_value "$machine_store" Level /reg:64)" = 0x2 ] ||
    fail "SETLEVEL 2 stored level $(reg_value "$machine_store" Level /reg:64)"
# As an older version left it: a per-user Run value, which the tray start removes.
"$wine_run" reg add "$run_key" /v Quenvar /d "\"$app_exe\" /tray" /f >/dev/null || fail "cannot write a per-user Run value"
"$wine_run" "$app_exe" /tray >/dev/null 2>&1 &
wait_for 30 tray_running || fail "the tray instance did not start"
per_user_run_gone() { [ -z "$(reg_value "$run_key" Quenvar)" ]; }
wait_for 10 per_user_run_gone || fail "the tray start left the per-user Run value"
start=$(now)
msiexec /i "$(winpath "$work/new.msi")" /qn || fail "upgrading to $next_version: exit code $?"
upgrade_time=$(seconds_since "$start")
wait_for 10 tray_gone || fail "the upgrade left the old tray instance running"
cmp -s "$app_dir/Quenvar.exe" "$work/new/Quenvar.exe" || fail "the upgrade did not replace the program"
[ "$(product_entries)" = "$new_code" ] || fail "after the upgrade Programs and Features has: $(product_entries)"
[ "$(reg_value "$uninstall_key\\$new_code" DisplayVersion "$package_view")" = "$next_msi_version" ] ||
    fail "DisplayVersion after the upgrade"
[ "$(reg_value "$store" UID)" = "$uid" ] || fail "the upgrade changed the UID to $(reg_value "$store" UID)"
[ -z "$(reports_of_action 2)" ] || fail "the upgrade reported a removal: $(reports)"
[ "$(reports_of_action 1 | wc -l)" -eq 1 ] || fail "the upgrade reported an installation: $(reports)"
[ "$("$wine_run" reg query "$schannel_key" /s 2>&1 | tr -d '\r')" = "$schannel_level" ] || fail "the upgrade changed SCHANNEL"
[ "$(reg_value "$machine_store" Level /reg:64)" = 0x2 ] || fail "the upgrade changed the stored level"
[ "$(reg_value "$machine_run_key" Quenvar "$package_view")" = "\"$app_exe\" /tray" ] ||
    fail "the machine's Run value after the upgrade"
[ -z "$(reg_value "$run_key" Quenvar)" ] || fail "a per-user Run value after the upgrade"
[ -n "$(find "$prefix_dir" -path '*/Start Menu/Programs/Quenvar.lnk' -print -quit)" ] || fail "the upgrade lost the shortcut"
[ "$(reg_value "$package_key" Version "$package_view")" = "$next_msi_version" ] ||
    fail "the recorded package version after the upgrade"

# 3. A silent removal.
start=$(now)
msiexec /x "$new_code" /qn || fail "removing: exit code $?"
remove_time=$(seconds_since "$start")
[ "$(reports_of_action 2)" = "2 1 $uid" ] || fail "removal report: $(reports) (UID $uid)"
[ -z "$(reg_value "$run_key" Quenvar)" ] || fail "the removal left the per-user Run value"
[ -z "$(reg_value "$machine_run_key" Quenvar "$package_view")" ] || fail "the removal left the machine's Run value"
key_exists "$store" && fail "the removal left the settings store"
[ -e "$app_dir" ] && fail "the removal left $app_dir"
[ -z "$(find "$prefix_dir" -path '*/Start Menu/Programs/Quenvar.lnk' -print -quit)" ] || fail "the removal left the shortcut"
[ -z "$(product_entries)" ] || fail "the removal left Programs and Features entries: $(product_entries)"
[ -z "$(reg_value "$package_key" Version "$package_view")" ] || fail "the removal left the recorded package version"
[ "$("$wine_run" reg query "$schannel_key" /s 2>&1 | tr -d '\r')" = "$schannel_before" ] ||
    fail "SCHANNEL after the removal is not what it was before the installation"

# 4. An interactive installation starts the tray instance; an older package is refused.
msiexec /i "$(winpath "$work/new.msi")" || fail "interactive installation: exit code $?"
wait_for 30 tray_running || fail "the interactive installation did not start the tray instance"
rc=0
msiexec /i "$(winpath "$work/old.msi")" /qn || rc=$?
[ "$rc" -ne 0 ] || fail "installing $version over $next_version succeeded"
# The refusal is the launch condition's (its message is shown only with a user interface).
grep -aq 'LaunchConditions. Return value 0' "$work/msiexec.log" || fail "the downgrade was not refused by its launch condition"
[ "$(product_entries)" = "$new_code" ] || fail "the refused downgrade changed Programs and Features: $(product_entries)"
cmp -s "$app_dir/Quenvar.exe" "$work/new/Quenvar.exe" || fail "the refused downgrade changed the program"
tray_running || fail "the refused downgrade closed the tray instance"
msiexec /x "$new_code" /qn || fail "removing with the tray instance running: exit code $?"
wait_for 10 tray_gone || fail "the removal left the tray instance running"
[ -e "$app_dir" ] && fail "the removal with the tray instance running left $app_dir"

# 5. A service that never answers, and an executable that is gone before the removal. Each hook's
# report is given up after a few seconds; before, a removal waited 30 s on WinINet's receive
# time-out here (and up to three such time-outs behind a proxy or on a network that drops packets).
hook_bound=15
reports_before=$(reports | wc -l)
start=$(now)
msiexec /i "$(winpath "$work/offline.msi")" /qn || fail "offline installation: exit code $?"
offline_install_time=$(seconds_since "$start")
awk -v t="$offline_install_time" -v b="$hook_bound" 'BEGIN { exit !(t < b) }' ||
    fail "the installation took ${offline_install_time}s with the service silent"
[ "$(accepted)" -ge 1 ] || fail "the offline installation did not try to report"
[ -n "$(reg_value "$store" UID)" ] || fail "the offline installation stored no UID"
"$wine_run" "$app_dir/Quenvar.exe" /setlevel 2 || fail "offline SETLEVEL 2: exit code $?"
[ "$("$wine_run" reg query "$schannel_key" /s 2>&1 | tr -d '\r')" != "$schannel_before" ] || fail "offline SETLEVEL 2 changed nothing"
accepted_before=$(accepted)
start=$(now)
msiexec /x "$offline_code" /qn &
removal_pid=$!
# The removal's report is waiting on the silent service: SCHANNEL must already be back.
reported_again() { [ "$(accepted)" -gt "$accepted_before" ]; }
wait_for 30 reported_again || fail "the offline removal did not try to report"
kill -0 "$removal_pid" 2>/dev/null || fail "the offline removal ended before its report could wait"
[ "$("$wine_run" reg query "$schannel_key" /s 2>&1 | tr -d '\r')" = "$schannel_before" ] ||
    fail "the removal waits on the network before SCHANNEL is back"
wait "$removal_pid" || fail "offline removal: exit code $?"
offline_remove_time=$(seconds_since "$start")
awk -v t="$offline_remove_time" -v b="$hook_bound" 'BEGIN { exit !(t < b) }' ||
    fail "the removal took ${offline_remove_time}s with the service silent"
key_exists "$store" && fail "the offline removal left the settings store"
[ -z "$(reg_value "$run_key" Quenvar)" ] || fail "the offline removal left the per-user Run value"
[ -z "$(reg_value "$machine_run_key" Quenvar "$package_view")" ] || fail "the offline removal left the machine's Run value"
[ "$("$wine_run" reg query "$schannel_key" /s 2>&1 | tr -d '\r')" = "$schannel_before" ] ||
    fail "SCHANNEL after the offline removal is not what it was before the installation"
[ "$(reports | wc -l)" -eq "$reports_before" ] || fail "the offline package reached the service"
msiexec /i "$(winpath "$work/offline.msi")" /qn || fail "offline installation: exit code $?"
rm -f "$app_dir/Quenvar.exe"
msiexec /x "$offline_code" /qn || fail "removal without the executable: exit code $?"
[ -z "$(product_entries)" ] || fail "the removal without the executable left $(product_entries)"
[ -e "$app_dir" ] && fail "the removal without the executable left $app_dir"

size=$(stat -c %s "$work/new.msi")
echo "passed: package $size bytes; silent installation ${install_time}s, upgrade ${upgrade_time}s, removal ${remove_time}s;" \
    "with the service silent: installation ${offline_install_time}s, removal ${offline_remove_time}s"
