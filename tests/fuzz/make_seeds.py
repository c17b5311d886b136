#!/usr/bin/env python3
"""Writes the corpora of the fuzz targets into corpus/<target>/: a handful of seeds each, and the
inputs of past findings (names starting with "finding-"), kept so that every run replays them.
The files are kept in the repository; run this again after changing it."""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


CODE_BYTES = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64]


def code_for(n):
    return next(c for c, b in enumerate(CODE_BYTES) if b >= n)


def report(can_id, payload, code=None):
    """Input report 6: report number, iface, identifier, length code, payload."""
    c = code_for(len(payload)) if code is None else code
    return bytes([6, 0]) + struct.pack("<I", can_id) + bytes([c]) + bytes(payload).ljust(CODE_BYTES[c] if c < 16 else 0, b"\0")


# --- fuzz_hid_report: one report, as read -----------------------------------------------------
write("fuzz_hid_report", "mx25-ack", report(0x0F0, [0xAA, 0, 0, 0x40, 0x03, 1]).ljust(71, b"\0"))
write("fuzz_hid_report", "whoami-reply", report(0x010, [0x12, 0x34, 0x56, 0x78, 0, 12, 2, 0]))
write("fuzz_hid_report", "header-only-code-15", bytes([6, 0, 0xF0, 0, 0, 0, 15]))
write("fuzz_hid_report", "short-header", bytes([6, 0, 0xF0, 0, 0, 0]))
write("fuzz_hid_report", "code-above-15", bytes([6, 0, 0xE0, 0, 0, 0, 0x20, 1, 2, 3, 4]))
write("fuzz_hid_report", "longer-than-buffer", report(0x420, list(range(64))) + bytes(range(130)))

# --- fuzz_protocol: request choices, then the unit's side as a script -------------------------
def step(r):
    return bytes([len(r)]) + r


ERROR, TIMEOUT = b"\xff", b"\xfe"
OP_SETADDR, OP_WRITE, OP_GETPART, OP_BLOCK_ERASE = 0xA1, 0xAA, 0xAC, 0xBE
P1 = 0xB1B1B1B1


def current_ack(acked, ok=1):
    return step(report(0x0E0, [0, acked & 0xFF, acked >> 8, ok]))


def current_mx25(op, address, ok=1):
    return step(report(0x0F0, [op] + list(struct.pack("<I", address)) + [ok]))


def legacy_ack(acked):
    return step(report(0x255, list(struct.pack("<I", acked)) + [0xEF, 0x15]))


def legacy_mx25(op, address):
    return step(report(0x256, [op] + list(struct.pack("<I", address))))


def choices(acked_id, sensor, index):
    return struct.pack("<H", acked_id) + bytes([1 if sensor else 0, index])


def current_run(version):
    s = choices(0x390, False, 6)
    s += step(report(0x010, [0x12, 0x34, 0x56, 0x78] + list(struct.pack("<I", version))))
    legacy = version < 0x00020C00
    ack = legacy_ack if legacy else current_ack
    mx25 = (lambda op, a, ok=1: legacy_mx25(op, a)) if legacy else current_mx25
    ids = dict(value=0x377, part=0x287, erase=0x416) if legacy else dict(value=0x380, part=0x730, erase=0x430)
    s += ack(0x378 if legacy else 0x390)
    s += mx25(OP_WRITE, 0x03400000)
    s += step(report(ids["value"], list(struct.pack("<I", 160))))
    s += ack(ids["part"]) + mx25(OP_GETPART, P1)
    # send_fw: bank query, one erase, the address, the header and three data packets
    s += ack(ids["part"]) + mx25(OP_GETPART, P1)
    s += ack(ids["erase"]) + mx25(OP_BLOCK_ERASE, 832 << 16)
    s += mx25(OP_SETADDR, 832 << 16)
    for k in range(4):
        s += mx25(OP_WRITE, (832 << 16) + 64 * k)
    return s


write("fuzz_protocol", "current-0.2.12", current_run(0x00020C00))
write("fuzz_protocol", "current-0.2.11", current_run(0x00020B00))
legacy = choices(0x378, True, 3) + ERROR + step(report(0x123, [0xEF, 0x15, 0, 0, 0x78, 0x56, 0x34, 0x12]))
legacy += legacy_ack(0x378) + legacy_mx25(OP_WRITE, 0) + step(report(0x355, [1, 2, 3, 4]))
legacy += legacy_ack(0x287) + legacy_mx25(OP_GETPART, P1) + legacy_ack(0x287) + step(report(0x257, [OP_GETPART]))
write("fuzz_protocol", "legacy", legacy)
chatter = choices(0x390, False, 200) + TIMEOUT + step(report(0x100, [1, 2, 3]))
chatter += step(report(0x010, [0, 0, 0, 1, 0, 12, 2, 0])) + step(report(0x200, [0] * 12)) + current_ack(0x390, 0)
chatter += current_mx25(OP_WRITE, 0, 0) + TIMEOUT + current_ack(0x730) + current_mx25(OP_GETPART, 0xB2B2B2B2, 2)
write("fuzz_protocol", "chatter-and-refusals", chatter)
write("fuzz_protocol", "silent-unit", choices(0, False, 0) + ERROR)

# --- fuzz_settings_record: index, value, record -----------------------------------------------
def record(**fields):
    words = {"crc32": 0, "magic": 0x5F564551, "version": 1, "num_elements": 31}
    words.update(fields)
    head = struct.pack("<IIII", words["crc32"], words["magic"], words["version"], words["num_elements"])
    body = struct.pack("<I", 0x152) + bytes([40, 45, 50, 85, 129, 160, 65, 100]) + struct.pack("<HH", 110, 150)
    body += b"N12345".ljust(12, b"\0") + struct.pack("<10I", *[0xFF3C78D8] * 10) + struct.pack("<I", 12)
    body += struct.pack("<ff", -1.5, 0.25) + struct.pack("<HH", 105, 155) + struct.pack("<6I", 128, 0, 0xA1B2C3, 0, 1, 1)
    body += struct.pack("<I", 1)
    return head + body


def settings_case(index, value, rec):
    return struct.pack("<II", index, value) + rec


write("fuzz_settings_record", "vne", settings_case(6, 160, record()))
write("fuzz_settings_record", "volts-wide-value", settings_case(9, 0x12345, record()))
write("fuzz_settings_record", "registration", settings_case(12, 0x34350000, record()))
write("fuzz_settings_record", "checksum-word", settings_case(252, 0xFFFFFFFF, record()))
write("fuzz_settings_record", "num-elements-past-record", settings_case(255, 1000, record()))
write("fuzz_settings_record", "erased-record-no-field", settings_case(36, 7, record(crc32=0xFFFFFFFF)))

# --- fuzz_settings_file: documents and assignments --------------------------------------------
backup = {
    "format": "efis-config settings",
    "format_version": 1,
    "unit": {"serial": "0x00C0FFEE", "firmware": "0.2.12", "rc": 0},
    "record": {"version": 1, "num_elements": 31, "checksum": "0x0A1B2C3D"},
    "settings": {
        "units": {"airspeed": "knots", "altitude": "feet", "temperature": "fahrenheit", "pressure": "inhg"},
        "vne": 160, "min_volts_warning": 11.5, "registration": "N12345", "sky_color_upper": "#3c78d8",
        "roll_correction": -1.5, "ownship_icao": "A1B2C3", "icao_address_type": "icao",
        "emitter_category": "A1", "termination_resistor": True, "map_orientation": "track_up",
    },
}
write("fuzz_settings_file", "backup.json", json.dumps(backup, indent=2).encode())
vspeeds = {"format": "efis-config settings", "format_version": 1,
           "settings": {"vs0": 40, "vs1": 48, "vfe": 85, "vn0": 129, "vne": 163, "vref": 65}}
write("fuzz_settings_file", "vspeeds.json", json.dumps(vspeeds).encode())
write("fuzz_settings_file", "raw-words-repeated-key.json",
      b'{"format":"efis-config settings","format_version":1,"settings":{"units":"0x00000200",'
      b'"registration":["0x4E31FF33","0x00000000","0x00000001"],"gear_color":"#80ff0000",'
      b'"pitch_correction":"0x7FC00000","vne":"0xFF","registration":null}}')
write("fuzz_settings_file", "calibration.json",
      b'{"format":"efis-config calibration","format_version":1,"unit":{"serial":"0x00C0FFEE","firmware":null},'
      b'"calibration":{"0":"0x00000001","9":"0x3C4CCCCD","45":"0xFFFFFFFF","255":"0x7A3B19E4"}}')
write("fuzz_settings_file", "assign-colour", b"sky_color_upper=#3c78d8")
write("fuzz_settings_file", "assign-registration", b'registration="D-EFGH"')
write("fuzz_settings_file", "assign-units",
      b'units={"airspeed":"mph","altitude":"meters","temperature":"celsius","pressure":"mbar"}')
write("fuzz_settings_file", "assign-degrees", b"roll_correction=-0.1")

# --- fuzz_firmware_image: image files ---------------------------------------------------------
def image(total, encrypted, body, magic=0x46575631):
    h = struct.pack("<7I", magic, 0x00020C00, total, total, encrypted, 0x12345678, 0x9ABCDEF0)
    h += struct.pack("<4I", 1, 2, 3, 4) + struct.pack("<I", 0x400) + bytes(16)
    return h + bytes((i * 7 + 1) % 255 for i in range(body))


write("fuzz_firmware_image", "whole", image(200, 200, 200))
write("fuzz_firmware_image", "wrong-magic-header-only", image(0, 0, 0, magic=0))
write("fuzz_firmware_image", "one-byte-short", image(300, 300, 299))
write("fuzz_firmware_image", "longer-than-announced", image(100, 100, 150))
write("fuzz_firmware_image", "too-large", image(4194305, 10, 10))
write("fuzz_firmware_image", "shorter-than-header", image(0, 0, 0)[:63])

# --- inputs of past findings ------------------------------------------------------------------
# Large on purpose: each reproduced its fault only past a size (stack depth, quadratic cost).
HEAD = b'{"format":"efis-config settings","format_version":1,'
write("fuzz_settings_file", "finding-deep-array.json",
      HEAD + b'"settings":{"vne":' + b"[" * 100000 + b"]" * 100000 + b"}}")
write("fuzz_settings_file", "finding-deep-assignment", b"vne=" + b"[" * 100000 + b"]" * 100000)
write("fuzz_settings_file", "finding-deep-objects.json", HEAD + b'"x":' + b'{"a":' * 50000 + b"1" + b"}" * 50000 + b"}")
write("fuzz_settings_file", "finding-many-objects.json",
      HEAD + b'"settings":{' + b",".join(b'"a%d":{}' % i for i in range(20000)) + b"}}")
