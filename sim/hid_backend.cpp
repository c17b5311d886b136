#include "sim/hid_backend.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

namespace {

// One HID interface on the virtual bus.
struct Plug {
    std::shared_ptr<sim::VirtualUnit> unit;
    uint16_t usage_page = 0;
    uint16_t vid = 0;
    uint16_t pid = 0;
    int interface_number = 0;
    std::string base; // "sim:SSSSSSSS", shared by the unit's interfaces
    std::string path;
    std::atomic<bool> attached{true};
    sim::OpenHooks hooks;
    bool states_serial = true;
    std::mutex open_mutex; // orders the hooks of concurrent opens and closes
    int opens = 0;         // guarded by open_mutex
};

std::mutex g_bus_mutex;
std::vector<std::shared_ptr<Plug>> g_plugs; // guarded by g_bus_mutex
std::atomic<int> g_open_handles{0};
std::atomic<int> g_enumerations{0};
std::atomic<int> g_init_calls{0};

const wchar_t* const kNoError = L"Success";
const wchar_t* const kGone = L"virtual unit: device not attached";
const wchar_t* const kFailed = L"virtual unit: operation failed";
const wchar_t* const kNoDevice = L"virtual unit: no such device";
const wchar_t* const kUnsupported = L"virtual unit: not supported";
std::atomic<const wchar_t*> g_last_error{kNoError};
// Set while opens are refused; hid_error(NULL) hands out its text, so it changes only between runs.
std::wstring g_open_refusal; // guarded by g_bus_mutex

const wchar_t* const kManufacturer = L"EFIS";
const wchar_t* const kProduct = L"EFIS display unit (virtual)";

// Eight upper-case hex digits of the unit's serial number, as its USB descriptor shows it.
std::wstring serial_of(const Plug& p)
{
    wchar_t buf[9];
    std::swprintf(buf, 9, L"%08X", static_cast<unsigned>(p.unit->config().serial));
    return buf;
}

wchar_t* dup_wide(const std::wstring& s)
{
    auto* p = static_cast<wchar_t*>(std::calloc(s.size() + 1, sizeof(wchar_t)));
    if (p != nullptr) {
        std::wmemcpy(p, s.c_str(), s.size());
    }
    return p;
}

bool usable(const Plug& p)
{
    return p.attached.load() && p.unit->present();
}

std::string hex8(uint32_t v)
{
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
    return buf;
}

int copy_wide(const wchar_t* src, wchar_t* dst, size_t maxlen)
{
    if (dst == nullptr || maxlen == 0) {
        return -1;
    }
    std::wcsncpy(dst, src, maxlen);
    dst[maxlen - 1] = L'\0';
    return 0;
}

} // namespace

struct hid_device_ {
    std::shared_ptr<Plug> plug;
    uint64_t session = 0; // the unit's stay on the bus this handle belongs to
    bool nonblocking = false;
    std::atomic<const wchar_t*> last_error{kNoError};
};

namespace sim {

void plug(std::shared_ptr<VirtualUnit> unit, const PlugOptions& options)
{
    if (!unit) {
        return;
    }
    auto p = std::make_shared<Plug>();
    p->usage_page = options.usage_page;
    p->vid = options.vid;
    p->pid = options.pid;
    p->hooks = options.hooks;
    p->states_serial = options.states_serial;
    const std::string serial = "sim:" + hex8(unit->config().serial);
    std::lock_guard lock(g_bus_mutex);
    std::vector<std::string> taken; // by other units with this serial
    for (const auto& other : g_plugs) {
        if (other->unit == unit) {
            ++p->interface_number;
            p->base = other->base;
        } else if (other->base.rfind(serial, 0) == 0) {
            taken.push_back(other->base);
        }
    }
    for (int n = 1; p->base.empty(); ++n) {
        const std::string candidate = n == 1 ? serial : serial + "-" + std::to_string(n);
        if (std::find(taken.begin(), taken.end(), candidate) == taken.end()) {
            p->base = candidate;
        }
    }
    p->path = p->base + ":" + std::to_string(p->interface_number);
    p->unit = std::move(unit);
    g_plugs.push_back(std::move(p));
}

void plug(std::shared_ptr<VirtualUnit> unit, uint16_t usage_page, uint16_t vid, uint16_t pid)
{
    plug(std::move(unit), PlugOptions{usage_page, vid, pid, {}});
}

void unplug_all()
{
    std::vector<std::shared_ptr<Plug>> gone;
    {
        std::lock_guard lock(g_bus_mutex);
        gone.swap(g_plugs);
    }
    for (const auto& p : gone) {
        p->attached = false;
        p->unit->wake_readers(); // a blocked hid_read must notice
    }
}

void refuse_opens(const std::wstring& error_text)
{
    std::lock_guard lock(g_bus_mutex);
    g_last_error = kNoError;
    g_open_refusal = error_text;
}

int open_handle_count()
{
    return g_open_handles.load();
}

int enumeration_count()
{
    return g_enumerations.load();
}

int hid_init_count()
{
    return g_init_calls.load();
}

} // namespace sim

namespace {

hid_device* open_plug(std::shared_ptr<Plug> p)
{
    const std::optional<uint64_t> session = p && p->attached.load() ? p->unit->session() : std::nullopt;
    if (!session) {
        g_last_error = kNoDevice;
        return nullptr;
    }
    {
        std::lock_guard lock(g_bus_mutex);
        if (!g_open_refusal.empty()) {
            g_last_error = g_open_refusal.c_str();
            return nullptr;
        }
    }
    {
        std::lock_guard lock(p->open_mutex);
        if (p->opens++ == 0 && p->hooks.first_open) {
            p->hooks.first_open(*p->unit);
        }
    }
    auto* dev = new hid_device_;
    dev->plug = std::move(p);
    dev->session = *session;
    ++g_open_handles;
    g_last_error = kNoError;
    return dev;
}

// The handle still reaches its unit: the plug is attached and the unit is in the same stay.
bool alive(const hid_device_& dev)
{
    return dev.plug->attached.load() && dev.plug->unit->session() == dev.session;
}

} // namespace

extern "C" {

int hid_init(void)
{
    ++g_init_calls;
    return 0;
}

int hid_exit(void)
{
    --g_init_calls;
    return 0;
}

struct hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    ++g_enumerations;
    std::vector<std::shared_ptr<Plug>> plugs;
    {
        std::lock_guard lock(g_bus_mutex);
        plugs = g_plugs;
    }
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const auto& p : plugs) {
        if (!usable(*p) || (vendor_id != 0 && p->vid != vendor_id) || (product_id != 0 && p->pid != product_id)) {
            continue;
        }
        auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        if (info == nullptr) {
            break;
        }
        info->path = strdup(p->path.c_str());
        info->vendor_id = p->vid;
        info->product_id = p->pid;
        info->serial_number = dup_wide(p->states_serial ? serial_of(*p) : std::wstring());
        info->release_number = 0x0100;
        info->manufacturer_string = dup_wide(kManufacturer);
        info->product_string = dup_wide(kProduct);
        info->usage_page = p->usage_page;
        info->usage = 0x0001;
        info->interface_number = p->interface_number;
        info->next = nullptr;
        info->bus_type = HID_API_BUS_USB;
        *tail = info;
        tail = &info->next;
    }
    g_last_error = head == nullptr ? kNoDevice : kNoError;
    return head;
}

void hid_free_enumeration(struct hid_device_info* devs)
{
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

hid_device* hid_open_path(const char* path)
{
    if (path == nullptr) {
        g_last_error = kNoDevice;
        return nullptr;
    }
    std::shared_ptr<Plug> found;
    {
        std::lock_guard lock(g_bus_mutex);
        for (const auto& p : g_plugs) {
            if (p->path == path) {
                found = p;
                break;
            }
        }
    }
    return open_plug(found);
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t* serial_number)
{
    std::shared_ptr<Plug> found;
    {
        std::lock_guard lock(g_bus_mutex);
        for (const auto& p : g_plugs) {
            if (usable(*p) && p->vid == vendor_id && p->pid == product_id &&
                (serial_number == nullptr || serial_of(*p) == serial_number)) {
                found = p;
                break;
            }
        }
    }
    return open_plug(found);
}

void hid_close(hid_device* dev)
{
    if (dev == nullptr) {
        return;
    }
    const std::shared_ptr<Plug> p = std::move(dev->plug);
    delete dev;
    --g_open_handles;
    std::lock_guard lock(p->open_mutex);
    if (--p->opens == 0 && p->hooks.last_close) {
        p->hooks.last_close(*p->unit);
    }
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    if (dev == nullptr) {
        return -1;
    }
    if (data == nullptr || length == 0 || !alive(*dev)) {
        dev->last_error = alive(*dev) ? kFailed : kGone;
        return -1;
    }
    const int n = dev->plug->unit->on_output_report(data, length, dev->session);
    dev->last_error = n >= 0 ? kNoError : alive(*dev) ? kFailed : kGone;
    return n;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    if (dev == nullptr) {
        return -1;
    }
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (milliseconds >= 0) {
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    }
    const int n = dev->plug->unit->read_report(deadline, data, length, &dev->plug->attached, dev->session);
    dev->last_error = n >= 0 ? kNoError : alive(*dev) ? kFailed : kGone;
    return n;
}

int hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    if (dev == nullptr) {
        return -1;
    }
    return hid_read_timeout(dev, data, length, dev->nonblocking ? 0 : -1);
}

int hid_set_nonblocking(hid_device* dev, int nonblock)
{
    if (dev == nullptr) {
        return -1;
    }
    dev->nonblocking = nonblock != 0;
    return 0;
}

int hid_send_feature_report(hid_device* dev, const unsigned char*, size_t)
{
    if (dev != nullptr) {
        dev->last_error = kUnsupported;
    }
    return -1;
}

int hid_get_feature_report(hid_device* dev, unsigned char*, size_t)
{
    if (dev != nullptr) {
        dev->last_error = kUnsupported;
    }
    return -1;
}

int hid_get_input_report(hid_device* dev, unsigned char*, size_t)
{
    if (dev != nullptr) {
        dev->last_error = kUnsupported;
    }
    return -1;
}

int hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen)
{
    return dev == nullptr ? -1 : copy_wide(kManufacturer, string, maxlen);
}

int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen)
{
    return dev == nullptr ? -1 : copy_wide(kProduct, string, maxlen);
}

int hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen)
{
    return dev == nullptr ? -1 : copy_wide(serial_of(*dev->plug).c_str(), string, maxlen);
}

struct hid_device_info* hid_get_device_info(hid_device* dev)
{
    if (dev != nullptr) {
        dev->last_error = kUnsupported;
    }
    return nullptr;
}

int hid_get_indexed_string(hid_device* dev, int, wchar_t*, size_t)
{
    if (dev != nullptr) {
        dev->last_error = kUnsupported;
    }
    return -1;
}

const wchar_t* hid_error(hid_device* dev)
{
    return dev == nullptr ? g_last_error.load() : dev->last_error.load();
}

const struct hid_api_version* hid_version(void)
{
    static const hid_api_version version = {HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR, HID_API_VERSION_PATCH};
    return &version;
}

const char* hid_version_str(void)
{
    return HID_API_VERSION_STR;
}

} // extern "C"
