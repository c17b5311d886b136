#include "tests/fuzz/scripted_hid.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace {

struct Step {
    enum Kind { Report, Timeout, Error } kind;
    std::vector<uint8_t> bytes;
};

std::deque<Step> g_script;
std::vector<COMMS_MSG_t> g_written;
const char kPath[] = "scripted:0";

} // namespace

struct hid_device_ {
    int unused;
};

namespace scripted_hid {

void reset()
{
    g_script.clear();
    g_written.clear();
}

void add_report(const uint8_t* bytes, size_t count)
{
    g_script.push_back({Step::Report, std::vector<uint8_t>(bytes, bytes + count)});
}

void add_timeout()
{
    g_script.push_back({Step::Timeout, {}});
}

void add_error()
{
    g_script.push_back({Step::Error, {}});
}

size_t add_from(const uint8_t* data, size_t size)
{
    size_t i = 0;
    while (i < size) {
        const uint8_t tag = data[i++];
        if (tag == 0xFF) {
            add_error();
        } else if (tag == 0xFE) {
            add_timeout();
        } else {
            const size_t n = std::min<size_t>(tag, size - i);
            add_report(data + i, n);
            i += n;
        }
    }
    return i;
}

const std::vector<COMMS_MSG_t>& written()
{
    return g_written;
}

} // namespace scripted_hid

extern "C" {

int hid_init(void)
{
    return 0;
}

int hid_exit(void)
{
    return 0;
}

struct hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    if (info == nullptr) {
        return nullptr;
    }
    info->path = strdup(kPath);
    info->vendor_id = vendor_id;
    info->product_id = product_id;
    info->usage_page = 0xFF00;
    info->usage = 1;
    info->bus_type = HID_API_BUS_USB;
    return info;
}

void hid_free_enumeration(struct hid_device_info* devs)
{
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs);
        devs = next;
    }
}

hid_device* hid_open_path(const char* path)
{
    if (path == nullptr || std::strcmp(path, kPath) != 0) {
        return nullptr;
    }
    return new hid_device_{0};
}

void hid_close(hid_device* dev)
{
    delete dev;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    if (dev == nullptr || data == nullptr || length < 6 || data[0] != 5) {
        return -1;
    }
    COMMS_MSG_t m;
    std::memset(&m, 0, sizeof m);
    uint32_t id;
    std::memcpy(&id, data + 1, 4);
    m.can_ID = id;
    m.msg_len = static_cast<CAN_MSG_LEN_t>(data[5]);
    std::memcpy(m.data, data + 6, std::min(length - 6, sizeof m.data));
    g_written.push_back(m);
    return static_cast<int>(length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int /*milliseconds*/)
{
    if (dev == nullptr || g_script.empty()) {
        return -1;
    }
    const Step step = std::move(g_script.front());
    g_script.pop_front();
    if (step.kind == Step::Error) {
        return -1;
    }
    if (step.kind == Step::Timeout) {
        return 0;
    }
    const size_t n = std::min(length, step.bytes.size());
    if (n > 0) {
        std::memcpy(data, step.bytes.data(), n);
    }
    return static_cast<int>(n);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    return hid_read_timeout(dev, data, length, -1);
}

const wchar_t* hid_error(hid_device* /*dev*/)
{
    return L"scripted: no such device";
}

const char* hid_version_str(void)
{
    return HID_API_VERSION_STR;
}

} // extern "C"
