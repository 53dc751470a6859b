#include "net/SocketData.h"

#include "fsm/FsmBase.h"

#include <algorithm>
#include <cstring>

namespace {

// Copies at most TextSize - 1 bytes and always ends the text, also when the
// source fills its whole field without a terminator.
void CopyText(char (&target)[SocketData::TextSize], const char* source, std::size_t sourceSize)
{
    const std::size_t length = strnlen(source, std::min<std::size_t>(sourceSize, SocketData::TextSize - 1));
    std::memcpy(target, source, length);
    target[length] = '\0';
}

std::int32_t OneOrTwo(std::uint32_t value)
{
    return (value == 1 || value == 2) ? static_cast<std::int32_t>(value) : 0;
}

}  // namespace

std::unique_ptr<SocketData> SetSocketData(const SocketRecord& row, const CFsmBase* machine)
{
    if (machine != nullptr) {
        machine->TraceJob("SetSocketData");
    }
    auto data = std::make_unique<SocketData>();
    data->id = static_cast<std::int32_t>(row.id);
    data->udp = row.udp_tcp == 1;
    data->direction = OneOrTwo(row.read_write);
    data->role = OneOrTwo(row.server_client);
    data->pid = static_cast<std::int32_t>(row.pid);

    const auto port = static_cast<std::int32_t>(row.port);
    CopyText(data->localAddress, row.ip, sizeof row.ip);
    switch (row.read_write) {
    case 1:
        data->localPort = port;
        break;
    case 2:
        data->localPort = port;
        CopyText(data->remoteAddress, row.ip, sizeof row.ip);
        data->remotePort = port;
        break;
    default:
        CopyText(data->remoteAddress, row.ip, sizeof row.ip);
        data->remotePort = port;
        break;
    }
    return data;
}
