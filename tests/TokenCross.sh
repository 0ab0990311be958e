#!/usr/bin/env bash
# A token encoded by the Windows build (under Wine) must decode in the native service build.
#   TokenCross.sh TOKEN_SAMPLE_EXE SERVICE_EXE WINE_RUN   (WINEPREFIX set)
set -euo pipefail
token=$("$3" "$1" | tr -d '\r\n')
decoded=$("$2" --decode "$token")
expected=$(printf 'CFG=10\nCLS=\nLATIN=caf\xc3\xa9\nNOTE=tab\there\ncr\rend\nSUBID=0\nUID={0A1B2C3D}\nVER=QUENVAR=1.0.0.1')
actual=$(echo "$decoded" | grep -v '^RANDOMIZER=')
if [ "$actual" != "$expected" ]; then
    echo "token $token decoded to:" >&2
    echo "$decoded" | od -c | head -20 >&2
    exit 1
fi
echo "$decoded" | grep -q '^RANDOMIZER=[0-9][0-9]*$' || { echo "no RANDOMIZER in $decoded" >&2; exit 1; }
echo "passed: $token"
