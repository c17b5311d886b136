#include "cli/unit_link.h"

#include <cstdio>
#include <vector>

#include "efis_shared/get_set.h"

namespace efis_cli {

using settings_file::hex32;
using settings_file::Setting;

namespace {

std::string usb_id()
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04X:%04X", vendor_id, product_id);
    return buf;
}

const char* kPermissionHint =
#ifdef __linux__
    "Without the udev rule only root may open the unit's hidraw device: install the package, or copy "
    "70-efis-config.rules to /etc/udev/rules.d (see the README), run 'udevadm control --reload-rules && "
    "udevadm trigger', and plug the unit in again.";
#else
    "Check that no other program holds the unit open, and unplug it and plug it in again.";
#endif

// The name a value index is known by in messages: "vne (index 6)".
std::string index_name(uint32_t index)
{
    for (const Setting& s : settings_file::all_settings()) {
        if (index >= s.first && index < s.first + s.count) {
            return std::string(s.name) + " (index " + std::to_string(index) + ")";
        }
    }
    return "index " + std::to_string(index);
}

bool read_word(Unit& unit, uint32_t index, uint32_t* value)
{
    return read_value(&unit.comms, SETTINGS_COMMS, static_cast<uint8_t>(index), value);
}

const char* commit_failure_text(StoreSettingsStep step)
{
    switch (step) {
    case StoreSettingsStep::NotConnected:
    case StoreSettingsStep::Send:
        return "the save command could not be sent";
    case StoreSettingsStep::Erase:
        return "the unit did not confirm erasing its settings area";
    case StoreSettingsStep::Confirm:
        return "the unit did not confirm the save";
    case StoreSettingsStep::None:
        break;
    }
    return "the save failed";
}

} // namespace

std::string version_text(const fwversion_t& fw)
{
    return std::to_string(fw.major) + "." + std::to_string(fw.minor) + "." + std::to_string(fw.patch);
}

int connect_unit(const Context& ctx, Unit& unit)
{
    if (unit.comms.establish_connection()) {
        unit.serial = unit.comms.unitSerial();
        unit.firmware = unit.comms.unitFirmware();
        unit.legacy = use_legacy_can_map();
        return kDone;
    }
    const USBHID* usb = unit.comms.getUSBHID();
    switch (usb != nullptr ? usb->lastConnectFailure() : USBHID::ConnectFailure::NotFound) {
    case USBHID::ConnectFailure::OpenFailed:
        return ctx.fail(kNoUnit, "the EFIS unit was found but could not be opened: " + usb->openError() + "\n" +
                                     kPermissionHint);
    case USBHID::ConnectFailure::None:
        return ctx.fail(kNoUnit, "the EFIS unit was opened but did not answer the identity request (WHOAMI); "
                                 "power-cycle it and try again");
    case USBHID::ConnectFailure::NotFound:
        break;
    }
    return ctx.fail(kNoUnit, "no EFIS unit found (USB " + usb_id() +
                                 ", usage page 0xFF00): check the cable and that the unit is powered");
}

int read_record(const Context& ctx, Unit& unit, RecordRead* out)
{
    LinkHold hold = unit.comms.hold();
    RecordRead r;
    const uint32_t header[] = {SETTINGS_CHECKSUM_INDEX, SETTINGS_MAGIC_NUM, SETTINGS_VERSION, SETTINGS_NUM_ELEMENTS};
    uint32_t words[4] = {};
    for (size_t i = 0; i < 4; ++i) {
        if (!read_word(unit, header[i], &words[i])) {
            return ctx.fail(kUnitFailed, "the unit did not answer the read of its record header (index " +
                                             std::to_string(header[i]) + ")");
        }
    }
    r.record.crc32 = words[0];
    r.record.magic = words[1];
    r.record.version = words[2];
    r.record.num_elements = words[3];
    r.unit_checksum = words[0];
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        uint32_t v = 0;
        if (!read_word(unit, i, &v)) {
            return ctx.fail(kUnitFailed, "the unit did not answer the read of " + index_name(i));
        }
        settings_set_value(&r.record, static_cast<settings_struct_index>(i), &v);
    }
    r.checksum_ok = settings_CalcCRC(&r.record) == r.unit_checksum;
    *out = r;
    return kDone;
}

settings_file::UnitInfo unit_info(const Unit& unit)
{
    return settings_file::UnitInfo{unit.serial, unit.firmware, unit.firmware.rc};
}

settings_file::RecordInfo record_info(const RecordRead& read)
{
    return settings_file::RecordInfo{read.record.version, read.record.num_elements, read.unit_checksum};
}

int write_settings(const Context& ctx, Unit& unit, const RecordRead& before, const settings_file::Values& values,
                   bool dry_run)
{
    Settings_t intended = before.record;
    settings_file::apply(values, &intended);
    const std::vector<const Setting*> changes = settings_file::differences(values, before.record);
    if (changes.empty() && before.checksum_ok) {
        ctx.note("The unit already holds every setting given; nothing was sent.");
        return kDone;
    }

    const settings_file::Values old = settings_file::values_of(before.record);
    const auto change_line = [&](const Setting& s) {
        return std::string(s.name) + ": " + settings_file::setting_text(s, &old.word[s.first]) + " -> " +
               settings_file::setting_text(s, &values.word[s.first]);
    };
    if (dry_run) {
        for (const Setting* s : changes) {
            ctx.io.out << "would send " << change_line(*s) << "\n";
        }
        ctx.note(changes.empty() ? "Nothing differs, but the unit's checksum does not match its record: a restore "
                                   "would commit the record again."
                                 : "Dry run: nothing was sent.");
        return kDone;
    }

    LinkHold hold = unit.comms.hold();
    for (const Setting* s : changes) {
        for (uint32_t index = s->first; index < s->first + s->count; ++index) {
            const uint32_t word = settings_get_value(&intended, static_cast<settings_struct_index>(index));
            if (set_value(&unit.comms, SETTINGS_COMMS, static_cast<uint8_t>(index), word) != 0) {
                return ctx.fail(kUnitFailed, "the unit did not accept " + index_name(index) +
                                                 "; nothing was committed (values sent before it stay "
                                                 "uncommitted until the unit restarts)");
            }
        }
    }

    // The commit, as the window's Save makes it: the record's version and element count as the unit
    // reports them now, the tag, and the checksum of the record with crc32 cleared.
    uint32_t version = 0;
    uint32_t num_elements = 0;
    if (!read_word(unit, SETTINGS_VERSION, &version) || !read_word(unit, SETTINGS_NUM_ELEMENTS, &num_elements)) {
        return ctx.fail(kUnitFailed, "the unit did not answer the read of its record version before the commit; "
                                     "nothing was committed");
    }
    intended.version = version;
    intended.num_elements = num_elements;
    intended.magic = kSettingsMagic;
    intended.crc32 = 0;
    const uint32_t crc = settings_CalcCRC(&intended);
    StoreSettingsStep step = StoreSettingsStep::None;
    if (store_settings(&unit.comms, crc, &step) != 0) {
        return ctx.fail(kUnitFailed,
                        std::string("the settings were sent but not committed: ") + commit_failure_text(step));
    }

    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        uint32_t v = 0;
        const uint32_t want = settings_get_value(&intended, static_cast<settings_struct_index>(i));
        if (!read_word(unit, i, &v)) {
            return ctx.fail(kUnitFailed, "committed, but the unit did not answer the read-back of " + index_name(i));
        }
        if (v != want) {
            return ctx.fail(kUnitFailed, "committed, but " + index_name(i) + " reads back as " + hex32(v) +
                                             " instead of " + hex32(want));
        }
    }
    uint32_t stored_crc = 0;
    if (!read_word(unit, SETTINGS_CHECKSUM_INDEX, &stored_crc)) {
        return ctx.fail(kUnitFailed, "committed, but the unit did not answer the read-back of its checksum");
    }
    if (stored_crc != crc) {
        return ctx.fail(kUnitFailed, "committed, but the unit's stored checksum is " + hex32(stored_crc) +
                                         " instead of the " + hex32(crc) + " sent");
    }

    for (const Setting* s : changes) {
        ctx.io.out << change_line(*s) << "\n";
    }
    ctx.note("Committed " + std::to_string(changes.size()) + " changed setting(s) to unit " + hex32(unit.serial) +
             " with checksum " + hex32(crc) + "; every value read back as sent.");
    return kDone;
}

} // namespace efis_cli
