#include "net/SocketData.h"

#include "LogTrace/LogTrace.h"
#include "fsm/FsmBase.h"
#include "testsupport/RecordingAppender.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

SocketRecord Row(std::uint32_t readWrite, const char* ip = "192.168.1.20")
{
    SocketRecord row {};
    row.id = 7;
    std::strncpy(row.ip, ip, sizeof row.ip - 1);
    row.port = 5602;
    row.udp_tcp = 1;
    row.read_write = readWrite;
    row.server_client = 2;
    row.pid = 31;
    return row;
}

}  // namespace

TEST(SetSocketData, AddressesAndPortsFollowTheDirection)
{
    const auto reader = SetSocketData(Row(1), nullptr);
    EXPECT_EQ(reader->id, 7);
    EXPECT_STREQ(reader->localAddress, "192.168.1.20");
    EXPECT_EQ(reader->localPort, 5602);
    EXPECT_STREQ(reader->remoteAddress, "");
    EXPECT_EQ(reader->remotePort, 0);
    EXPECT_TRUE(reader->udp);
    EXPECT_EQ(reader->direction, 1);
    EXPECT_EQ(reader->role, 2);
    EXPECT_EQ(reader->pid, 31);
    EXPECT_STREQ(reader->name, "");

    const auto both = SetSocketData(Row(2), nullptr);
    EXPECT_STREQ(both->localAddress, "192.168.1.20");
    EXPECT_EQ(both->localPort, 5602);
    EXPECT_STREQ(both->remoteAddress, "192.168.1.20");
    EXPECT_EQ(both->remotePort, 5602);

    SocketRecord odd = Row(7);
    odd.udp_tcp = 2;
    odd.server_client = 3;
    const auto other = SetSocketData(odd, nullptr);
    EXPECT_EQ(other->direction, 0);
    EXPECT_EQ(other->role, 0);
    EXPECT_FALSE(other->udp);
    EXPECT_STREQ(other->localAddress, "192.168.1.20");
    EXPECT_EQ(other->localPort, 0);
    EXPECT_STREQ(other->remoteAddress, "192.168.1.20");
    EXPECT_EQ(other->remotePort, 5602);
}

TEST(SetSocketData, AFullAddressFieldIsCutAndEnded)
{
    SocketRecord row = Row(2);
    std::memset(row.ip, 'a', sizeof row.ip);  // no terminator in the row
    const auto data = SetSocketData(row, nullptr);
    EXPECT_EQ(std::string(data->localAddress), std::string(99, 'a'));
    EXPECT_EQ(std::string(data->remoteAddress), std::string(99, 'a'));
}

TEST(SetSocketData, WritesItsJobLine)
{
    testsupport::ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    struct Supervisor : CFsmBase {
        explicit Supervisor(LogTrace* trace) : CFsmBase("ORVANTA_CTRL", trace, DEBUG_JOB) {}
        void PutExternal(CTRXSignal**, bool) override {}
    } supervisor(&trace);
    SetSocketData(Row(1), &supervisor);
    EXPECT_EQ(recorder.lines(), std::vector<std::string> { "*F: ORVANTA_CTRL" + std::string(22, ' ') +
                                                           "Job: SetSocketData" });
}
