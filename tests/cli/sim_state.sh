#!/bin/sh
# efis-cli-sim keeps its virtual units' settings and firmware between runs, where its documentation
# says, so that a set, then a show or a diff in the next run behave as they would with a real unit,
# each unit keeps its own, and an image uploaded in one run starts after a reboot in the next.
set -eu
cli="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unset EFIS_SIM_STATE EFIS_SIM_FIRMWARE EFIS_SIM_SERIALS EFIS_SIM_PRESENT_AFTER_MS EFIS_SIM_UNPLUG_AT_MS \
    EFIS_SIM_REPLUG_AT_MS EFIS_SIM_RESTART_MS EFIS_SIM_REJECT_IMAGES EFIS_SIM_UPDATE_RESETS_SETTINGS \
    EFIS_SIM_UPDATE_RECORD_VERSION
export XDG_STATE_HOME="$dir/state"
# Locks of our own: other test programs run beside this one with units of the same serials.
mkdir -m 700 "$dir/run"
export XDG_RUNTIME_DIR="$dir/run"

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

# Another generation of firmware, same settings, for that run only.
export EFIS_SIM_FIRMWARE=legacy
expect 0 "$cli" info
unset EFIS_SIM_FIRMWARE
grep -q 'generation:      legacy' "$dir/out" || { echo "FAIL: legacy"; cat "$dir/out"; exit 1; }
expect 0 "$cli" info
grep -q 'generation:      current' "$dir/out" || { echo "FAIL: legacy outlived its run"; cat "$dir/out"; exit 1; }

# Two units: --serial (or EFIS_SERIAL) picks one, and each keeps its own settings in its own file.
export EFIS_SIM_SERIALS=0x00C0FFEE,0x0BADF00D
expect 3 "$cli" -q settings set vne=150
grep -q '2 EFIS units found; choose one with --serial: 0x00C0FFEE, 0x0BADF00D' "$dir/err" || { echo "FAIL: several"; cat "$dir/err"; exit 1; }
expect 0 "$cli" --serial 0x00C0FFEE -q settings set vne=150
expect 0 env EFIS_SERIAL=badf00d "$cli" -q settings set vne=140
expect 0 "$cli" --serial 00c0ffee settings show
grep -q '^vne  *150  *6$' "$dir/out" || { echo "FAIL: 0x00C0FFEE lost its vne"; cat "$dir/out"; exit 1; }
expect 0 env EFIS_SIM_SERIALS=0x0BADF00D,0x00C0FFEE "$cli" --serial 0x0BADF00D info
grep -q '^serial:  *0x0BADF00D$' "$dir/out" || { echo "FAIL: not 0x0BADF00D"; cat "$dir/out"; exit 1; }
expect 0 "$cli" --serial 0x0BADF00D settings show
grep -q '^vne  *140  *6$' "$dir/out" || { echo "FAIL: 0x0BADF00D lost its vne"; cat "$dir/out"; exit 1; }
expect 0 "$cli" list
test "$(wc -l <"$dir/out")" -eq 2 || { echo "FAIL: list"; cat "$dir/out"; exit 1; }
for serial in 00C0FFEE 0BADF00D; do
    test -f "$dir/state/efis-config/cli-sim-unit-$serial.json" || { echo "FAIL: no file for $serial"; exit 1; }
done
unset EFIS_SIM_SERIALS
expect 0 "$cli" settings show
grep -q '^vne  *160  *6$' "$dir/out" || { echo "FAIL: the single unit changed"; cat "$dir/out"; exit 1; }

# A firmware image: header (magic, version, total_size, plaintext_size, encrypted_size, eleven more
# words) and the 64 bytes it announces.
le32() {
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}
image() { # image VERSION FILE
    {
        le32 0x53494645; le32 "$1"; le32 128; le32 64; le32 64
        i=0; while [ $i -lt 11 ]; do le32 0; i=$((i + 1)); done
        head -c 64 /dev/zero | tr '\0' 'Z'
    } >"$2"
}
image 0x00030100 "$dir/fw-0.3.1.bin"
image 0x00030200 "$dir/fw-0.3.2.bin"
test "$(wc -c <"$dir/fw-0.3.1.bin")" -eq 128 || { echo "FAIL: image size"; exit 1; }

# Uploaded in one run, started by a reboot in the next: the new version, settings kept.
expect 0 "$cli" -q firmware upload "$dir/fw-0.3.1.bin"
expect 0 "$cli" reboot
expect 0 "$cli" info
grep -q '^firmware:  *0\.3\.1 ' "$dir/out" || { echo "FAIL: 0.3.1 not started"; cat "$dir/out"; exit 1; }
expect 0 "$cli" settings show
grep -q '^vne  *160  *6$' "$dir/out" || { echo "FAIL: settings lost in the update"; cat "$dir/out"; exit 1; }
# A unit that rejects the image comes back unchanged, and the image does not outlive that start.
expect 0 "$cli" -q firmware upload "$dir/fw-0.3.2.bin"
expect 0 env EFIS_SIM_REJECT_IMAGES=1 "$cli" reboot
expect 0 "$cli" reboot
expect 0 "$cli" info
grep -q '^firmware:  *0\.3\.1 ' "$dir/out" || { echo "FAIL: a rejected image started"; cat "$dir/out"; exit 1; }

# A state file that is not one: a note, and a fresh unit.
echo 'not json' >"$dir/state/efis-config/cli-sim-unit.json"
expect 0 "$cli" info
grep -q 'starting afresh' "$dir/err" || { echo "FAIL: no note on a broken state file"; exit 1; }
echo "ok"
