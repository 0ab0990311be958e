#!/usr/bin/env bash
# Checks a built installer package's tables with msiinfo (msitools): the hooks' custom actions run
# the installed executable with the right verb, in the right phase and account, under the
# conditions and in the order the package relies on.
#   check-msi.sh PACKAGE.msi MSI_VERSION
set -euo pipefail
msi=$(realpath "$1")
version=$2
# msiinfo export writes the streams of binary columns (the Icon table's) into the current folder.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
fail() {
    echo "check-msi: $msi: $*" >&2
    exit 1
}
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }

# Custom action type bits: 18 runs a file the package installs, 64 ignores its exit code, 128 does
# not wait for it, 1024 defers it into the installation script, 2048 runs it without impersonation,
# 16384 keeps a deferred action impersonated on a terminal server (terminal-server aware).
actions=$(table CustomAction)
expect_action() { # ID VERB BITS-SET BITS-CLEAR
    local row type source target
    row=$(echo "$actions" | awk -F'\t' -v id="$1" '$1 == id')
    [ -n "$row" ] || fail "no custom action $1"
    type=$(echo "$row" | cut -f2)
    source=$(echo "$row" | cut -f3)
    target=$(echo "$row" | cut -f4)
    [ $((type & 63)) -eq 18 ] && [ "$source" = QuenvarExe ] || fail "$1 does not run the installed executable: $row"
    [ "$target" = "$2" ] || fail "$1 runs \"$target\", not \"$2\""
    [ $((type & $3)) -eq "$3" ] || fail "$1 (type $type) lacks the bits $3"
    [ $((type & $4)) -eq 0 ] || fail "$1 (type $type) has one of the bits $4"
}
expect_action QvStop "/stop" $((64 | 1024 | 16384)) $((128 | 2048))
expect_action QvInstall "/install" $((64 | 1024 | 16384)) $((128 | 2048))
expect_action QvUninstall '/uninstall "[UserSID]"' $((64 | 1024 | 2048)) $((128 | 16384))
expect_action QvTray "/tray" $((64 | 128)) $((1024 | 16384))
# No other deferred action runs impersonated without the bit.
while IFS=$'\t' read -r id type _; do
    [ $((type & (1024 | 2048 | 16384))) -ne 1024 ] || fail "$id (type $type) runs impersonated but is not terminal-server aware"
done <<<"$actions"

sequence=$(table InstallExecuteSequence)
seq_of() { echo "$sequence" | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
expect_condition() {
    local c
    c=$(echo "$sequence" | awk -F'\t' -v a="$1" '$1 == a { print $2 }')
    [ "$c" = "$2" ] || fail "$1 runs under \"$c\", not \"$2\""
}
expect_order() { # A B: A runs before B
    local a b
    a=$(seq_of "$1")
    b=$(seq_of "$2")
    [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ] || fail "$1 ($a) does not run before $2 ($b)"
}
expect_condition QvStop 'Installed OR QV_OLDER_FOUND'
expect_condition QvUninstall \
    'REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE AND (NOT QV_PACKAGE_VERSION OR QV_PACKAGE_VERSION = ProductVersion)'
expect_condition QvInstall 'NOT Installed AND NOT QV_OLDER_FOUND'
expect_condition QvTray 'NOT Installed AND UILevel >= 4'
expect_order FindRelatedProducts LaunchConditions
expect_order AppSearch QvUninstall
expect_order InstallInitialize QvStop
expect_order QvStop QvUninstall
expect_order QvUninstall RemoveFiles
expect_order RemoveFiles InstallFiles
expect_order InstallFiles QvInstall
expect_order WriteRegistryValues QvInstall
expect_order QvInstall InstallFinalize
expect_order InstallFinalize RemoveExistingProducts
expect_order RemoveExistingProducts QvTray

properties=$(table Property)
property() { echo "$properties" | awk -F'\t' -v p="$1" '$1 == p { print $2 }'; }
[ "$(property ProductVersion)" = "$version" ] || fail "ProductVersion $(property ProductVersion), not $version"
[ "$(property ALLUSERS)" = 1 ] || fail "not a per-machine package"
[ "$(property ARPPRODUCTICON)" = Quenvar.ico ] || fail "no ARPPRODUCTICON"
[ -n "$(property ARPURLINFOABOUT)" ] || fail "no ARPURLINFOABOUT"
[ -n "$(property Manufacturer)" ] || fail "no Manufacturer"
upgrade=$(property UpgradeCode)
# Older versions are found for removal, newer ones only detected; a newer one refuses the installation.
table Upgrade | awk -F'\t' -v u="$upgrade" -v v="$version" \
    '$1 == u && $3 == v && $5 == 256 && $7 == "QV_OLDER_FOUND" { up = 1 }
     $1 == u && $2 == v && $3 == "" && $5 == 2 && $7 == "QV_NEWER_FOUND" { down = 1 }
     END { exit !(up && down) }' || fail "the Upgrade table does not find older and newer versions of $upgrade"
table LaunchCondition | grep -q '^Installed OR NOT QV_NEWER_FOUND'$'\t''A newer version' || fail "a downgrade is not refused"
# The version the upgrade test of a removal reads is the one the package writes.
table AppSearch | grep -q '^QV_PACKAGE_VERSION'$'\t' || fail "QV_PACKAGE_VERSION is not searched"
table Registry | awk -F'\t' -v v="$version" '$3 == "SOFTWARE\\Quenvar\\Package" && $4 == "Version" && $5 == v { ok = 1 }
    END { exit !ok }' || fail "the package does not record its version"
# The tray instance starts at every user's logon from the machine's Run key, a value owned by a
# component (so that the package removes it), in the package's registry view: the 64-bit one for
# an x64 package (component attribute 256), the 32-bit one (WOW6432Node) for an x86 package.
platform=$(msiinfo suminfo "$msi" | tr -d '\r' | awk -F': ' '$1 == "Template" { split($2, p, ";"); print p[1] }')
case "$platform" in
x64) view_bit=256 ;;
Intel) view_bit=0 ;;
*) fail "unknown platform \"$platform\" in the summary" ;;
esac
run_component=$(table Registry | awk -F'\t' '$2 == 2 && $3 == "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run" &&
    $4 == "Quenvar" && $5 == "\"[INSTALLDIR]Quenvar.exe\" /tray" { print $6 }')
[ -n "$run_component" ] || fail "no HKLM Run value \"[INSTALLDIR]Quenvar.exe\" /tray in the Registry table"
attributes=$(table Component | awk -F'\t' -v c="$run_component" '$1 == c { print $4 }')
[ -n "$attributes" ] && [ $((attributes & 256)) -eq "$view_bit" ] ||
    fail "the Run value's component $run_component (attributes $attributes) is not in the package's registry view"
table FeatureComponents | awk -F'\t' -v c="$run_component" '$2 == c { ok = 1 } END { exit !ok }' ||
    fail "the Run value's component $run_component belongs to no feature"
table Icon | grep -q '^Quenvar.ico'$'\t' || fail "no icon"
table Shortcut | awk -F'\t' '$2 == "ProgramMenuFolder" && $5 == "[#QuenvarExe]" { ok = 1 } END { exit !ok }' ||
    fail "no Start-menu shortcut to the executable"
