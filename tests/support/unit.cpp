#include "tests/support/unit.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include "comms/can_msg_ids.h"

namespace support {

namespace {

// Every virtual unit with a given serial has the same device path in every process, and so the
// same lock. Test programs run side by side: each keeps its locks in a directory of its own, so
// that two of them never find each other's unit in use.
// The name is never destroyed: the exit handler that removes the directory is registered while the
// name is being made, so it runs after every static destroyed at exit.
const std::string& private_lock_directory()
{
    static const std::string* const dir = [] {
        auto* path = new std::string((std::filesystem::temp_directory_path() / "efis-test-locks-XXXXXX").string());
        if (mkdtemp(path->data()) == nullptr) {
            path->clear();
            return path;
        }
        setenv("XDG_RUNTIME_DIR", path->c_str(), 1);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(private_lock_directory(), ec);
        });
        return path;
    }();
    return *dir;
}

const bool kLocksApart = !private_lock_directory().empty();

std::shared_ptr<sim::VirtualUnit> plug_alone(std::shared_ptr<sim::VirtualUnit> unit)
{
    static_cast<void>(kLocksApart);
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
