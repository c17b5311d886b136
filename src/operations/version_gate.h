// Every identity exchange sets the process-wide firmware-version gate that picks the message
// identifiers; a program that keeps a unit connected while it looks at others must find the gate
// of its own unit afterwards.
#pragma once

#include "comms/can_msg_ids.h"

namespace operations {

class KeepVersionGate {
public:
    KeepVersionGate() : version_(g_whoami_fwversion), known_(g_whoami_fwversion_known) {}
    ~KeepVersionGate() { restore(); }
    KeepVersionGate(const KeepVersionGate&) = delete;
    KeepVersionGate& operator=(const KeepVersionGate&) = delete;
    void restore() const
    {
        g_whoami_fwversion = version_;
        g_whoami_fwversion_known = known_;
    }

private:
    fwversion_t version_;
    bool known_;
};

} // namespace operations
