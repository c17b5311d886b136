// Direct CAN FD transport. No bus socket exists on this platform: the transport never connects and
// every transfer fails, with the same result conventions as the USB transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "efis_shared/comms_types.h"

class CANFD {
public:
    CANFD();
    ~CANFD();
    CANFD(const CANFD&) = delete;
    CANFD& operator=(const CANFD&) = delete;

    bool connect(const std::string& interface_name);
    void disconnect();
    bool isConnected() const;
    int read(COMMS_MSG_t* msg);
    int write(const uint8_t* data, size_t length);
    int write(const COMMS_MSG_t& msg);

private:
    int32_t socket_fd;
    bool connected;
    std::string interface_name;
};
