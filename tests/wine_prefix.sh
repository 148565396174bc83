#!/bin/sh
# Makes the Wine prefix that the Wine tests copy: removes what an earlier run left, lets wineboot
# initialise a new one, and waits until its wineserver has written the registry and ended.
#   wine_prefix.sh <wine64> <wineserver64> <prefix>
set -eu
wine=$1 server=$2 prefix=$3
rm -rf "$prefix" "$prefix.tests"
export WINEPREFIX="$prefix" WINEDEBUG=-all
"$wine" wineboot -i
"$server" -w
test -f "$prefix/system.reg"
