#include "tests/support/unit.h"

#include "comms/can_msg_ids.h"

namespace support {

namespace {

std::shared_ptr<sim::VirtualUnit> plug_alone(std::shared_ptr<sim::VirtualUnit> unit)
{
    sim::unplug_all();
    reset_whoami_fwversion_cache();
    sim::plug(unit);
    return unit;
}

} // namespace

std::shared_ptr<sim::VirtualUnit> plug_unit(const sim::UnitConfig& config)
{
    return plug_alone(std::make_shared<sim::VirtualUnit>(config));
}

std::shared_ptr<sim::VirtualUnit> plug_demo_unit()
{
    return plug_alone(sim::make_demo_unit());
}

size_t count_requests(const sim::VirtualUnit& unit, uint32_t id)
{
    return request_indices(unit, id).size();
}

std::vector<uint32_t> request_indices(const sim::VirtualUnit& unit, uint32_t id)
{
    std::vector<uint32_t> out;
    for (const COMMS_MSG_t& f : unit.requests()) {
        if (f.can_ID == id) {
            out.push_back(f.data[0]);
        }
    }
    return out;
}

} // namespace support
