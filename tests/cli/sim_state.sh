#!/bin/sh
# efis-cli-sim run as a user runs it, one process per command: each virtual unit keeps its settings
# and firmware in a file of its own, EFIS_SIM_FIRMWARE lasts one run, an image uploaded in one run
# starts at a reboot in the next, and a broken state file starts afresh.
set -eu
cli="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unset EFIS_SIM_STATE EFIS_SIM_FIRMWARE EFIS_SIM_SERIALS EFIS_SIM_PRESENT_AFTER_MS EFIS_SIM_UNPLUG_AT_MS \
    EFIS_SIM_REPLUG_AT_MS EFIS_SIM_RESTART_MS EFIS_SIM_REJECT_IMAGES EFIS_SIM_UPDATE_RESETS_SETTINGS \
    EFIS_SIM_UPDATE_RECORD_VERSION EFIS_SERIAL
export XDG_STATE_HOME="$dir/state" XDG_RUNTIME_DIR="$dir/run"
mkdir -m 700 "$dir/run"

expect() { # expect STATUS PATTERN command...: its exit status, and a line of its output matching
    want=$1 pattern=$2
    shift 2
    got=0
    "$@" >"$dir/out" 2>&1 || got=$?
    if [ "$got" -ne "$want" ] || ! grep -q -- "$pattern" "$dir/out"; then
        echo "FAIL: '$*' exited $got (expected $want), or printed no line matching '$pattern':"
        cat "$dir/out"
        exit 1
    fi
}
# A header (magic, version 0.3.N, total, plaintext and encrypted size, 44 zero bytes), 64 bytes.
image() { # image N FILE
    { printf "EFIS\\000\\00$1\\003\\000\\200\\000\\000\\000@\\000\\000\\000@\\000\\000\\000" && head -c 44 /dev/zero &&
        head -c 64 /dev/zero | tr '\0' Z; } >"$2"
}

expect 0 'Backed up' "$cli" settings backup "$dir/before.json"
expect 0 '^vne: 160 -> 150$' "$cli" settings set vne=150
expect 1 '^vne: unit 150, file 160$' "$cli" settings diff "$dir/before.json"
expect 0 'generation: *legacy' env EFIS_SIM_FIRMWARE=legacy "$cli" info
expect 0 'generation: *current' "$cli" info

export EFIS_SIM_SERIALS=0x00C0FFEE,0x0BADF00D
expect 0 '^vne: 160 -> 140$' env EFIS_SERIAL=badf00d "$cli" settings set vne=140
expect 0 '^vne  *160  *6$' "$cli" --serial 0x00C0FFEE settings show
expect 0 '^vne  *140  *6$' env EFIS_SIM_SERIALS=0x0BADF00D,0x00C0FFEE "$cli" --serial 0x0BADF00D settings show
unset EFIS_SIM_SERIALS
expect 0 '^vne  *150  *6$' "$cli" settings show

image 1 "$dir/fw-0.3.1.bin"
expect 0 'written' "$cli" firmware upload "$dir/fw-0.3.1.bin"
expect 0 'Reboot command sent' "$cli" reboot
expect 0 '^firmware: *0\.3\.1 ' "$cli" info

echo 'not json' >"$dir/state/efis-config/cli-sim-unit.json"
expect 0 'is not a state file of the virtual unit 0x00C0FFEE; starting afresh' "$cli" info
echo "ok"
