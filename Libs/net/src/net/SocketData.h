// The socket data of a state machine, built from one socket row of the system
// database. Plain data; SetSocketData may be called from any thread that owns
// the machine passed for its trace line.
#pragma once

#include "db/DBoperations.h"

#include <cstdint>
#include <memory>

class CFsmBase;

struct SocketData {
    static constexpr int TextSize = 100;

    std::int32_t id = 0;
    char localAddress[TextSize] = {};
    std::int32_t localPort = 0;
    char remoteAddress[TextSize] = {};
    std::int32_t remotePort = 0;
    bool udp = false;           // udp_tcp is 1
    std::int32_t direction = 0;  // read_write 1 or 2, else 0
    std::int32_t role = 0;       // server_client 1 or 2, else 0
    std::int32_t pid = 0;
    char name[TextSize] = {};  // the socket query delivers no name
};

// The record of `row`. The addresses and ports follow read_write: 1 gives the
// row's address and port as local ones and no remote end; 2 gives them as both;
// any other value gives them as the remote end and local port 0. `machine`, when
// given, writes its "Job: SetSocketData" trace line.
std::unique_ptr<SocketData> SetSocketData(const SocketRecord& row, const CFsmBase* machine);
