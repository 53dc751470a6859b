#include "net/SocketTable.h"

namespace {

struct SocketNameRow {
    std::string_view name;
    std::uint16_t port;
};

// clang-format off
constexpr SocketNameRow SocketNameTable[] = {
    { "ORVANTA_CTRL",  5076 },
    { "QHVLOGGER_CMD", 1111 },
    { "P2XLOGGER_CMD", 2222 },
};
// clang-format on

}  // namespace

std::uint16_t portForSocketName(std::string_view name)
{
    for (const SocketNameRow& row : SocketNameTable) {
        if (row.name == name) {
            return row.port;
        }
    }
    return 0;
}
