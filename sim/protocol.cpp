// The unit's side of each kind of request: what it does and what it answers, in the identifier map
// and the acknowledgement forms of the firmware it runs.
#include <cstring>

#include "comms/legacy_can_export.h"
#include "efis_shared/can_export.h"
#include "efis_shared/get_set.h"
#include "sim/unit_state.h"

namespace sim {

using detail::Effects;
using detail::get_le32;
using detail::put_le32;
using detail::Reply;

namespace {

constexpr detail::IdMap kCurrentIds = {
    CANMSG_REQUEST_USER_SETTING, CANMSG_SEND_USER_SETTING,    CANMSG_SET_USER_SETTING,
    CANMSG_SAVE_USER_SETTINGS,   CANMSG_REQUEST_SENSOR_CALIB, CANMSG_SEND_SENSOR_CALIB,
    CANMSG_SET_SENSOR_CALIB,     CANMSG_SAVE_SENSOR_CALIB,    CANMSG_ENTER_BL,
    CANMSG_GET_PARTITION,        CANMSG_ERASE_MX25,           CANMSG_SET_ADDR_MX25,
    CANMSG_WRITE_MX25,           CANMSG_AIRPORT_DB_OP,
};

constexpr detail::IdMap kLegacyIds = {
    LEGACY_CANMSG_REQUEST_USER_SETTING, LEGACY_CANMSG_SEND_USER_SETTING,    LEGACY_CANMSG_SET_USER_SETTING,
    LEGACY_CANMSG_SAVE_USER_SETTINGS,   LEGACY_CANMSG_REQUEST_SENSOR_CALIB, LEGACY_CANMSG_SEND_SENSOR_CALIB,
    LEGACY_CANMSG_SET_SENSOR_CALIB,     LEGACY_CANMSG_SAVE_SENSOR_CALIB,    LEGACY_CANMSG_ENTER_BL,
    LEGACY_CANMSG_GET_PARTITION,        LEGACY_CANMSG_ERASE_MX25,           LEGACY_CANMSG_SET_ADDR_MX25,
    LEGACY_CANMSG_WRITE_MX25,           LEGACY_CANMSG_AIRPORT_DB_OP,
};

} // namespace

bool VirtualUnit::State::legacy_map() const
{
    if (config.generation == Generation::Legacy) {
        return true;
    }
    const fwversion_t& v = config.version;
    if (v.major != 0) {
        return false;
    }
    if (v.minor != 2) {
        return v.minor < 2;
    }
    return v.patch < 12;
}

// Carries out one request; fills `out` with its replies in order.
void VirtualUnit::State::handle(const COMMS_MSG_t& f, const Effects& fx, Replies& out)
{
    const uint32_t id = f.can_ID;
    const uint8_t len = can_msg_payload_len(f.msg_len);
    const detail::IdMap& ids = legacy_map() ? kLegacyIds : kCurrentIds;
    const Request rq{id, len, f.data, fx, ids};

    const uint32_t whoami =
        config.generation == Generation::Legacy ? uint32_t{LEGACY_CANMSG_WHOAMI} : uint32_t{CANMSG_WHOAMI};
    if (id == whoami) {
        identity(rq, out);
    } else if ((id == ids.read_settings || id == ids.read_calib) && len >= 1) {
        read_value(rq, out);
    } else if ((id == ids.set_settings || id == ids.set_calib) && len >= 5) {
        set_value(rq, out);
    } else if (id == ids.save_settings && len >= 4) {
        save_settings(rq, out);
    } else if (id == ids.save_calib && len >= 4) {
        save_calibration(rq, out);
    } else if (id == ids.enter_bl && len >= 1) {
        reboot(rq);
    } else if (id == ids.get_partition) {
        get_partition(rq, out);
    } else if (id == ids.erase && len >= 3) {
        erase(rq, out);
    } else if (id == ids.set_addr && len >= 4) {
        set_address(rq, out);
    } else if (id == ids.write && len >= 1) {
        write(rq, out);
    } else if (id == ids.db_op && len >= 1) {
        airport_db(rq, out);
    }
    // Anything else goes unanswered, as on the real bus.
}

void VirtualUnit::State::general_ack(Replies& out, const Effects& fx, uint32_t acked_id, bool ok) const
{
    Reply& r = out.add();
    ok = ok && !fx.nack;
    const uint32_t named = fx.wrong_ack_id.value_or(acked_id);
    if (legacy_map()) {
        r.id = ok ? LEGACY_CANMSG_ACK : LEGACY_CANMSG_NACK;
        r.code = CAN_6_BYTES;
        put_le32(r.data, named);
        r.data[4] = 0xEF;
        r.data[5] = 0x15;
    } else {
        r.id = CANMSG_ACK;
        r.code = CAN_4_BYTES;
        r.data[1] = static_cast<uint8_t>(named);
        r.data[2] = static_cast<uint8_t>(named >> 8);
        r.data[3] = ok ? 1 : 0;
    }
}

void VirtualUnit::State::mx25_ack(Replies& out, const Effects& fx, uint8_t op, uint32_t address, bool ok) const
{
    Reply& r = out.add();
    ok = ok && !fx.nack;
    r.data[0] = fx.wrong_op.value_or(op);
    put_le32(r.data + 1, fx.wrong_address.value_or(address));
    if (legacy_map()) {
        r.id = ok ? LEGACY_CANMSG_MX25_ACK : LEGACY_CANMSG_MX25_NACK;
        r.code = CAN_5_BYTES;
    } else {
        r.id = CANMSG_MX25_ACK;
        r.code = CAN_6_BYTES;
        r.data[5] = ok ? 1 : 0;
    }
}

// --- identity ---

void VirtualUnit::State::identity(const Request& rq, Replies& out) const
{
    if (rq.len < 2 || rq.d[0] != 0xEF || rq.d[1] != 0x15 || rq.fx.nack) {
        return;
    }
    Reply& r = out.add();
    r.id = rq.id;
    r.code = CAN_8_BYTES;
    if (config.generation == Generation::Legacy) {
        r.data[0] = 0xEF;
        r.data[1] = 0x15;
        put_le32(r.data + 4, config.serial);
    } else {
        r.data[0] = static_cast<uint8_t>(config.serial >> 24);
        r.data[1] = static_cast<uint8_t>(config.serial >> 16);
        r.data[2] = static_cast<uint8_t>(config.serial >> 8);
        r.data[3] = static_cast<uint8_t>(config.serial);
        put_le32(r.data + 4, config.version.version);
    }
}

// --- settings and calibration values, and their saves ---

void VirtualUnit::State::read_value(const Request& rq, Replies& out) const
{
    if (rq.fx.nack) {
        return; // a read has no negative form; the tool sees silence
    }
    Reply& r = out.add();
    const bool settings = rq.id == rq.ids.read_settings;
    r.id = settings ? rq.ids.send_settings : rq.ids.send_calib;
    r.code = CAN_4_BYTES;
    put_le32(r.data, settings ? settings_get_value(&working, static_cast<settings_struct_index>(rq.d[0]))
                              : calib_get_value(&calib, static_cast<sensor_calib_struct_index>(rq.d[0])));
}

void VirtualUnit::State::set_value(const Request& rq, Replies& out)
{
    bool ok = false;
    if (rq.fx.ack_no_store) {
        ok = true; // acknowledged, and forgotten
    } else if (!rq.fx.nack) {
        uint32_t value = get_le32(rq.d + 1);
        ok = rq.id == rq.ids.set_settings
                 ? settings_set_value(&working, static_cast<settings_struct_index>(rq.d[0]), &value)
                 : calib_set_value(&calib, static_cast<sensor_calib_struct_index>(rq.d[0]), &value);
    }
    general_ack(out, rq.fx, rq.id, ok);
}

void VirtualUnit::State::save_settings(const Request& rq, Replies& out)
{
    // Checksum the working record the way the tool does before it saves.
    Settings_t own = working;
    own.magic = kSettingsMagic;
    own.crc32 = 0;
    SaveRecord rec{};
    rec.crc_received = get_le32(rq.d);
    rec.crc_own = settings_CalcCRC(&own);
    rec.matched = rec.crc_own == rec.crc_received;
    // Never commit a record whose content differs from what the tool asked to store.
    rec.committed = (rec.matched || rq.fx.save_unchecked) && !rq.fx.nack;
    if (rec.committed) {
        own.crc32 = rq.fx.save_unchecked ? rec.crc_received : rec.crc_own;
        stored = own;
        working = own;
    }
    saves.push_back(rec);
    mx25_ack(out, rq.fx, static_cast<uint8_t>(OP_SECTOR_ERASE), kSettingsSectorAddress, true);
    general_ack(out, rq.fx, rq.id, rec.committed);
}

void VirtualUnit::State::save_calibration(const Request& rq, Replies& out)
{
    if (!rq.fx.nack) {
        calib_saves.push_back(get_le32(rq.d));
    }
    general_ack(out, rq.fx, rq.id, true);
}

// --- reboot ---

void VirtualUnit::State::reboot(const Request& rq)
{
    if (!rq.fx.nack) {
        last_reboot = rq.d[0];
        ++reboot_count;
        if (restart_time) {
            begin_restart(Clock::now());
        }
    }
}

// --- flash commands ---

void VirtualUnit::State::get_partition(const Request& rq, Replies& out) const
{
    general_ack(out, rq.fx, rq.id, true);
    mx25_ack(out, rq.fx, static_cast<uint8_t>(OP_GETPART), named_bank(), true);
}

void VirtualUnit::State::erase(const Request& rq, Replies& out)
{
    const uint8_t op = rq.d[0];
    const uint32_t number = uint32_t{rq.d[1]} | (uint32_t{rq.d[2]} << 8);
    bool valid = false;
    uint32_t address = 0;
    if (op == OP_BLOCK_ERASE) {
        valid = number < MX25_BLOCK_COUNT;
        address = number * MX25_BLOCK_SIZE;
    } else if (op == OP_SECTOR_ERASE) {
        valid = number < MX25_SECTOR_COUNT;
        address = number * MX25_SECTOR_SIZE;
    } else if (op == OP_CHIP_ERASE) {
        valid = true;
    }
    if (valid && !rq.fx.nack) {
        if (op == OP_BLOCK_ERASE) {
            flash.erase_block(number);
        } else if (op == OP_SECTOR_ERASE) {
            flash.erase_sector(number);
        } else {
            flash.erase_chip();
        }
        ++erase_count;
    }
    general_ack(out, rq.fx, rq.id, true);
    mx25_ack(out, rq.fx, op, address, valid);
}

void VirtualUnit::State::set_address(const Request& rq, Replies& out)
{
    const uint32_t address = get_le32(rq.d);
    const bool ok = !rq.fx.nack && flash.set_write_pointer(address);
    mx25_ack(out, rq.fx, static_cast<uint8_t>(OP_SETADDR), address, ok);
}

void VirtualUnit::State::write(const Request& rq, Replies& out)
{
    const uint32_t at = flash.write_pointer();
    const bool ok = !rq.fx.nack && flash.write(rq.d, rq.len);
    mx25_ack(out, rq.fx, static_cast<uint8_t>(OP_WRITE), at, ok);
}

// --- airport database ---

void VirtualUnit::State::airport_db(const Request& rq, Replies& out)
{
    if (rq.d[0] == AIRPORT_DB_OP_CLOSE) {
        if (!rq.fx.nack) {
            airport_db_open = false;
        }
        general_ack(out, rq.fx, rq.id, true);
    } else if (rq.d[0] == AIRPORT_DB_OP_OPEN && !rq.fx.nack) {
        airport_db_open = true;
    }
}

} // namespace sim
