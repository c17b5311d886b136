// The calls that set up a virtual unit and look at it. unit_state.h says where the rest lives.
#include "sim/virtual_unit.h"

#include "efis_shared/get_set.h"
#include "sim/unit_state.h"

namespace sim {

Settings_t detail::blank_record(uint32_t version)
{
    Settings_t s{};
    s.magic = kSettingsMagic;
    s.version = version;
    s.num_elements = kSettingsCrcMaxWords;
    s.crc32 = settings_CalcCRC(&s);
    return s;
}

VirtualUnit::VirtualUnit(UnitConfig config) : state_(std::make_unique<State>())
{
    state_->config = config;
    // A blank but valid record, so that a load's checksum check passes on a fresh unit.
    state_->working = detail::blank_record(1);
    state_->stored = state_->working;
}

VirtualUnit::~VirtualUnit() = default;

void VirtualUnit::set_generation(Generation g)
{
    const auto lock = state_->hold();
    state_->config.generation = g;
}

void VirtualUnit::set_version(uint8_t major, uint8_t minor, uint8_t patch, uint8_t rc)
{
    const auto lock = state_->hold();
    fwversion_t& v = state_->config.version;
    v.major = major;
    v.minor = minor;
    v.patch = patch;
    v.rc = rc;
}

void VirtualUnit::set_serial(uint32_t serial)
{
    const auto lock = state_->hold();
    state_->config.serial = serial;
}

void VirtualUnit::set_partition(uint32_t raw_value)
{
    const auto lock = state_->hold();
    // Both fields, so that 0 reports partition_none rather than falling back to `partition`.
    state_->config.partition = static_cast<mx25_partition>(raw_value);
    state_->config.partition_raw = raw_value;
}

UnitConfig VirtualUnit::config() const
{
    const auto lock = state_->hold();
    return state_->config;
}

void VirtualUnit::set_latency(std::chrono::microseconds per_reply)
{
    const auto lock = state_->hold();
    state_->latency = per_reply;
}

void VirtualUnit::set_chatter(bool on)
{
    {
        const auto lock = state_->hold();
        state_->chatter = on;
    }
    state_->cv.notify_all();
}

void VirtualUnit::set_logging(bool on)
{
    const auto lock = state_->hold();
    state_->log.set_enabled(on);
}

void VirtualUnit::inject(const Fault& fault)
{
    const auto lock = state_->hold();
    state_->faults.add(fault);
}

void VirtualUnit::clear_faults()
{
    const auto lock = state_->hold();
    state_->faults.clear();
    state_->read_error_pending = false;
}

Settings_t VirtualUnit::working_settings() const
{
    const auto lock = state_->hold();
    return state_->working;
}

Settings_t VirtualUnit::stored_settings() const
{
    const auto lock = state_->hold();
    return state_->stored;
}

void VirtualUnit::set_working_settings(const Settings_t& s)
{
    const auto lock = state_->hold();
    state_->working = s;
}

void VirtualUnit::load_settings(const Settings_t& s)
{
    const auto lock = state_->hold();
    state_->working = s;
    state_->stored = s;
}

SENSOR_CALIB_t VirtualUnit::calibration() const
{
    const auto lock = state_->hold();
    return state_->calib;
}

void VirtualUnit::load_calibration(const SENSOR_CALIB_t& c)
{
    const auto lock = state_->hold();
    state_->calib = c;
}

std::vector<SaveRecord> VirtualUnit::saves() const
{
    const auto lock = state_->hold();
    return state_->saves;
}

std::vector<uint32_t> VirtualUnit::calibration_saves() const
{
    const auto lock = state_->hold();
    return state_->calib_saves;
}

std::vector<uint8_t> VirtualUnit::flash(uint32_t address, uint32_t length) const
{
    const auto lock = state_->hold();
    return state_->flash.read(address, length);
}

void VirtualUnit::fill_flash(uint32_t address, const std::vector<uint8_t>& bytes)
{
    const auto lock = state_->hold();
    state_->flash.fill(address, bytes);
}

std::vector<NorFault> VirtualUnit::nor_faults() const
{
    const auto lock = state_->hold();
    return state_->flash.faults();
}

uint32_t VirtualUnit::write_pointer() const
{
    const auto lock = state_->hold();
    return state_->flash.write_pointer();
}

uint32_t VirtualUnit::erase_count() const
{
    const auto lock = state_->hold();
    return state_->erase_count;
}

bool VirtualUnit::airport_db_open() const
{
    const auto lock = state_->hold();
    return state_->airport_db_open;
}

std::optional<uint8_t> VirtualUnit::last_reboot_byte() const
{
    const auto lock = state_->hold();
    return state_->last_reboot;
}

int VirtualUnit::reboot_count() const
{
    const auto lock = state_->hold();
    return state_->reboot_count;
}

std::vector<LoggedReport> VirtualUnit::log() const
{
    const auto lock = state_->hold();
    return state_->log.reports();
}

std::vector<COMMS_MSG_t> VirtualUnit::requests() const
{
    const auto lock = state_->hold();
    return state_->log.requests();
}

void VirtualUnit::clear_log()
{
    const auto lock = state_->hold();
    state_->log.clear();
}

} // namespace sim
