#!/usr/bin/env bash
# Builds an installer package with wixl and then sets what wixl 0.101 cannot express: the
# terminal-server-aware bit (msidbCustomActionTypeTSAware, 0x4000) on every deferred custom action
# that runs impersonated. Without it Windows Installer runs such an action without impersonation on
# a terminal server during a per-machine installation, so a hook meant for the installing user
# would act on LocalSystem's profile and session instead. Deferred actions without impersonation
# and immediate ones are left as they are: the bit has no effect on either.
#   make-msi.sh OUT.msi WIXL-ARGUMENTS... (the .wxs among them; run in wixl's working folder)
set -euo pipefail
out=$1
shift
wixl -o "$out" "$@"
in_script=1024
no_impersonate=2048
ts_aware=16384
msiinfo export "$out" CustomAction | tr -d '\r' | tail -n +4 | while IFS=$'\t' read -r action type _; do
    if [ $((type & in_script)) -ne 0 ] && [ $((type & no_impersonate)) -eq 0 ] && [ $((type & ts_aware)) -eq 0 ]; then
        msibuild "$out" -q "UPDATE \`CustomAction\` SET \`Type\` = $((type | ts_aware)) WHERE \`Action\` = '$action'"
    fi
done
