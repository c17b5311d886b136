#include "comms/canfd/canfd.h"

CANFD::CANFD() : socket_fd(-1), connected(false) {}

CANFD::~CANFD()
{
    disconnect();
}

bool CANFD::connect(const std::string& /*interface_name*/)
{
    connected = false;
    return false;
}

void CANFD::disconnect()
{
    connected = false;
    interface_name.clear();
}

bool CANFD::isConnected() const
{
    return connected && socket_fd >= 0;
}

int CANFD::read(COMMS_MSG_t* /*msg*/)
{
    return -1;
}

int CANFD::write(const uint8_t* /*data*/, size_t /*length*/)
{
    return -1;
}

int CANFD::write(const COMMS_MSG_t& /*msg*/)
{
    return -1;
}
