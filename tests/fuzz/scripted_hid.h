// A hid_* layer for the fuzz targets: one unit on the bus whose input reports come from a script,
// and whose output reports are kept. Reads never wait; once the script is spent every read fails,
// which ends any wait in the device layer at once, so no run can spin until a deadline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "efis_shared/comms_types.h"

namespace scripted_hid {

// Starts a new script; output reports kept so far are dropped.
void reset();
// A report delivered as is (a read buffer shorter than it gets its first bytes, as with hidapi).
void add_report(const uint8_t* bytes, size_t count);
void add_timeout(); // a read that brings nothing
void add_error();   // a read that fails

// Script bytes, as the fuzzer writes them, up to the end of the data:
//   0xFF              a failed read
//   0xFE              a read that times out
//   n (0..0xFD), ...  a report of the next n bytes (fewer when the data ends first)
// Returns the bytes consumed (all of them).
size_t add_from(const uint8_t* data, size_t size);

// Frames written, decoded from output report 5 (identifier, length code, payload).
const std::vector<COMMS_MSG_t>& written();

} // namespace scripted_hid
