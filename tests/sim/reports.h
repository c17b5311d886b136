// Reports built by hand, byte by byte, and the plain exchanges the virtual unit tests make with them
// through the hid_* functions, so that nothing of the tool's protocol code is used.
#pragma once

#include <hidapi/hidapi.h>

#include <cstdint>
#include <vector>

namespace sim_test {

using Bytes = std::vector<uint8_t>;
using Replies = std::vector<Bytes>;

// clang-format off
inline Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Bytes cat(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
// Output report: 05, identifier LE, length code, payload. Input report: 06, iface 0, id, code, 64 payload bytes.
inline Bytes out_report(uint32_t id, uint8_t code, const Bytes& p = {}) { return cat(cat({0x05}, le32(id)), cat({code}, p)); }
inline Bytes in_report(uint32_t id, uint8_t code, Bytes p = {})
{ p.resize(64, 0); return cat(cat({0x06, 0x00}, le32(id)), cat({code}, p)); }
// Acknowledgements of the current map.
inline Bytes ack(uint32_t id, bool ok) { return in_report(0x0E0, 4, {0x00, uint8_t(id), uint8_t(id >> 8), uint8_t(ok)}); }
inline Bytes mx25(uint8_t op, uint32_t at, bool ok) { return in_report(0x0F0, 6, cat(cat({op}, le32(at)), {uint8_t(ok)})); }
// clang-format on
inline const Bytes kFailed = {0xEE}; // a failed hid_write or hid_read: no report is one byte long
inline const Bytes kWhoami = out_report(0x010, 2, {0xEF, 0x15});

inline Bytes recv(hid_device* dev, int ms)
{
    uint8_t buf[128];
    const int n = hid_read_timeout(dev, buf, sizeof buf, ms);
    return n < 0 ? kFailed : Bytes(buf, buf + n);
}

// Sends a request and collects every reply that is ready at once (no latency set).
inline Replies ask(hid_device* dev, const Bytes& request)
{
    if (hid_write(dev, request.data(), request.size()) != int(request.size())) {
        return {kFailed};
    }
    Replies got;
    for (Bytes r = recv(dev, 0); !r.empty() && got.size() < 8; r = recv(dev, 0)) {
        got.push_back(r);
    }
    return got;
}

} // namespace sim_test
