#!/bin/sh
# efis-cli-sim keeps its virtual unit's settings between runs, where its documentation says, so that
# a set, then a show or a diff in the next run behave as they would with a real unit.
set -eu
cli="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unset EFIS_SIM_STATE EFIS_SIM_FIRMWARE
export XDG_STATE_HOME="$dir/state"

expect() { # expect STATUS command...
    want=$1
    shift
    got=0
    "$@" >"$dir/out" 2>"$dir/err" || got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: '$*' exited $got, expected $want"
        cat "$dir/out" "$dir/err"
        exit 1
    fi
}

expect 0 "$cli" settings backup "$dir/before.json"
test -f "$dir/state/efis-config/cli-sim-unit.json" || { echo "FAIL: no state file"; exit 1; }
expect 0 "$cli" -q settings set vne=150 registration=G-ABCD
expect 0 "$cli" settings show
grep -q '^vne  *150  *6$' "$dir/out" || { echo "FAIL: vne not kept"; cat "$dir/out"; exit 1; }
expect 1 "$cli" settings diff "$dir/before.json"
grep -qx 'vne: unit 150, file 160' "$dir/out" || { echo "FAIL: diff"; cat "$dir/out"; exit 1; }
expect 0 "$cli" settings restore "$dir/before.json"
expect 0 "$cli" settings diff "$dir/before.json"

# Another generation of firmware, same settings.
export EFIS_SIM_FIRMWARE=legacy
expect 0 "$cli" info
unset EFIS_SIM_FIRMWARE
grep -q 'generation:      legacy' "$dir/out" || { echo "FAIL: legacy"; cat "$dir/out"; exit 1; }

# A state file that is not one: a note, and a fresh unit.
echo 'not json' >"$dir/state/efis-config/cli-sim-unit.json"
expect 0 "$cli" info
grep -q 'starting afresh' "$dir/err" || { echo "FAIL: no note on a broken state file"; exit 1; }
echo "ok"
