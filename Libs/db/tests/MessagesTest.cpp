#include "db/Messages.h"

#include "TestDatabase.h"

#include "platform/Time.h"
#include "testsupport/TestUtils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using dbtest::TestDatabase;
using testing::HasSubstr;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

class RecordingSender : public CMessageSender {
public:
    void send(const char* data, std::size_t length) override { sent.emplace_back(data, length); }
    std::vector<std::string> sent;
};

// A UDP socket on 127.0.0.1 at a port the system chooses.
class UdpListener {
public:
    UdpListener()
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~UdpListener() { ::close(m_fd); }

    int port() const { return m_port; }

    // The next datagram, or nothing when none comes within the bound.
    std::optional<std::string> receive(int boundMs)
    {
        pollfd entry { m_fd, POLLIN, 0 };
        if (::poll(&entry, 1, boundMs) != 1) {
            return std::nullopt;
        }
        char buffer[256];
        const ssize_t length = ::recv(m_fd, buffer, sizeof buffer, 0);
        return length < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, length));
    }

private:
    int m_fd = -1;
    int m_port = 0;
};

int TodayUtc()
{
    const std::tm utc = platform::UtcTime(platform::Now().seconds);
    return (utc.tm_year + 1900) * 10000 + (utc.tm_mon + 1) * 100 + utc.tm_mday;
}

class DbMessagesTest : public testing::Test {
protected:
    DbMessagesTest()
    {
        testing::internal::CaptureStderr();
        const int rc = database.connect("NTRXDB", "trxuser", "qalvex4", "QHVLogger");
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 0);
        messages.setDatabase(&database);
        messages.loadMessageTypes();
    }

    dbtest::Rows Arrivals()
    {
        return db.query("SELECT number, millisecSinceMidnight FROM arrivedMessages ORDER BY millisecSinceMidnight");
    }
    dbtest::Rows Texts()
    {
        return db.query("SELECT lang, mess FROM arrivedMessagesString ORDER BY millisecSinceMidnight");
    }

    TestDatabase db;
    CDBoperations database { "Unknown" };
    CMessages messages;
};

}  // namespace

TEST_F(DbMessagesTest, LoadsTheTypesOfAllMessages)
{
    EXPECT_EQ(messages.language(), 3);
    const auto& types = messages.messageTypes();
    EXPECT_EQ(types.size(), 14u);
    EXPECT_EQ(types.at(1410), std::make_pair(2, 3));
    EXPECT_EQ(types.at(1436), std::make_pair(3, 3));

    // More rows than one batch.
    for (int number = 6000; number < 6120; ++number) {
        db.exec("INSERT INTO messages (number, lang, mess, type, typeLogging) VALUES (" + std::to_string(number) +
                ", 1, 'x', " + std::to_string(number % 7) + ", 5)");
    }
    CMessages more;
    more.loadMessageTypes();
    EXPECT_EQ(more.messageTypes().size(), 134u);
    EXPECT_EQ(more.messageTypes().at(6119), std::make_pair(6119 % 7, 5));
}

TEST_F(DbMessagesTest, LoadFailureIsWrittenToStandardError)
{
    db.exec("DROP TABLE messages");
    CMessages other;
    testing::internal::CaptureStderr();
    EXPECT_EQ(other.loadMessageTypes(), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(other.messageTypes().empty());
    // Message, statement, SQL state and the (empty) variable, one per line.
    EXPECT_THAT(err, testing::MatchesRegex(".*messages.*\n"
                                           "select number, type, typeLogging from messages where lang=1\n"
                                           "[0-9A-Z]{5}\n\n"));
}

TEST_F(DbMessagesTest, MessageTypeFollowsTheLoggingStatusToken)
{
    EXPECT_EQ(messages.messageType(1410), 2);
    db.exec("UPDATE integer_values SET value = 1 WHERE id = 2001");  // MAIN_W_LOGGING_STATUS_ON_OFF
    EXPECT_EQ(messages.messageType(1410), 3);

    // A number without types gets 1 and 1, remembered.
    EXPECT_EQ(messages.messageType(4711), 1);
    EXPECT_EQ(messages.messageTypes().at(4711), std::make_pair(1, 1));
    // A number missing from the loaded map is asked for.
    db.exec("INSERT INTO messages (number, lang, mess, type, typeLogging) VALUES (5100, 3, 'x', 0, 4)");
    EXPECT_EQ(messages.messageType(5100), 4);
    EXPECT_EQ(messages.messageTypes().at(5100), std::make_pair(1, 4));
}

TEST_F(DbMessagesTest, RecordsArrivalAndTextRow)
{
    const int before = TodayUtc();
    messages.sendMessage(1410, "C:\\survey\\qhv\\heave_2026.qhv");
    const int after = TodayUtc();

    const auto arrivals = db.query("SELECT dateYYYYMMDD, millisecSinceMidnight, number FROM arrivedMessages");
    ASSERT_EQ(arrivals.size(), 1u);
    EXPECT_THAT(arrivals[0][0], testing::AnyOf(std::to_string(before), std::to_string(after)));
    EXPECT_EQ(arrivals[0][2], "1410");
    const auto texts = db.query("SELECT dateYYYYMMDD, millisecSinceMidnight, lang, mess FROM arrivedMessagesString");
    EXPECT_EQ(texts, (dbtest::Rows { { arrivals[0][0], arrivals[0][1], "3",
                                       "QHV-logger: kan ikke apne loggfil C:\\survey\\qhv\\heave_2026.qhv" } }));

    messages.sendMessage(1415, 80, 10.0, 7.5);
    EXPECT_EQ(db.scalar("SELECT mess FROM arrivedMessagesString WHERE mess LIKE '%hivdatarate%'"),
              "QHV-logger: hivdatarate under 80% av forventet (forventet 10.00 Hz, mottatt 7.50 Hz)");
}

TEST_F(DbMessagesTest, RepeatsWithin10SecondsAreSuppressed)
{
    messages.sendMessageNoText(1414);
    messages.sendMessageNoText(1414);
    messages.sendMessage(1410, "C:\\a.qhv");
    messages.sendMessage(1410, "C:\\a.qhv");
    messages.sendMessage(1410, "C:\\b.qhv");

    const auto arrivals = Arrivals();
    ASSERT_EQ(arrivals.size(), 3u);
    EXPECT_EQ(arrivals[0][0], "1414");
    EXPECT_EQ(arrivals[1][0], "1410");
    EXPECT_EQ(arrivals[2][0], "1410");
    // A message without text has no text row.
    EXPECT_EQ(Texts(), (dbtest::Rows { { "3", "QHV-logger: kan ikke apne loggfil C:\\a.qhv" },
                                       { "3", "QHV-logger: kan ikke apne loggfil C:\\b.qhv" } }));
}

TEST_F(DbMessagesTest, TextsThatDoNotFitTheirValuesAreRecordedUnformatted)
{
    db.exec("UPDATE messages SET mess = 'bad %s and %s' WHERE number = 1410 AND lang = 3");
    db.exec("UPDATE messages SET mess = 'rate %s%% %n' WHERE number = 1415 AND lang = 3");
    db.exec("UPDATE messages SET mess = 'no placeholder, 100%%' WHERE number = 1440 AND lang = 3");
    messages.sendMessage(1410, "only one value");
    messages.sendMessage(1415, 80, 10.0, 7.5);
    messages.sendMessage(1440, "C:\\p2x\\x.p2x");  // an extra value is harmless
    EXPECT_EQ(Texts(), (dbtest::Rows { { "3", "bad %s and %s" }, { "3", "rate %s%% %n" },
                                       { "3", "no placeholder, 100%" } }));
}

TEST_F(DbMessagesTest, TextsAreCutTo398Characters)
{
    db.exec("INSERT INTO messages (number, lang, mess) VALUES (5200, 3, 'path %s')");
    db.exec("INSERT INTO messages (number, lang, mess) VALUES (5201, 3, '" + std::string(399, 'r') + "')");
    messages.sendMessage(5200, std::string(500, 'p').c_str());
    messages.sendMessage(5201);
    EXPECT_EQ(Texts(), (dbtest::Rows { { "3", "path " + std::string(393, 'p') }, { "3", std::string(398, 'r') } }));
}

// A text of 400 bytes or more is used cut to its block, not taken for a
// missing one; a missing text is recorded as the error text, but only until
// the text is there: it is looked for again at every message.
TEST_F(DbMessagesTest, LongTextsAreCutAndMissingOnesLookedForAgain)
{
    db.exec("INSERT INTO messages (number, lang, mess) VALUES (5202, 3, '" + std::string(450, 'l') + "')");
    messages.sendMessage(5202);
    messages.sendMessage(4711, "value");
    db.exec("INSERT INTO messages (number, lang, mess) VALUES (4711, 3, 'now there: %s')");
    messages.sendMessage(4711, "other value");
    EXPECT_EQ(Texts(), (dbtest::Rows { { "3", std::string(398, 'l') },
                                       { "3", "**** Error retrieving message no: 4711 from database ****\r\n" },
                                       { "3", "now there: other value" } }));
}

// A message the database does not take is neither followed by its text row nor
// announced, and is kept in the dump file with its text: with the text known
// from earlier, formatted; without it (no database to read it from), its values.
TEST_F(DbMessagesTest, MessagesTheDatabaseDoesNotTakeAreKeptInTheDumpFile)
{
    RecordingSender sender;
    messages.setSender(&sender);
    messages.sendMessage(1410, "C:\\a.qhv");
    sender.sent.clear();
    db.exec("DROP TABLE arrivedMessages");
    db.exec("DROP TABLE messages");
    messages.sendMessage(1410, "C:\\x.qhv");
    messages.sendMessage(1440, "C:\\y.p2x");
    messages.sendMessageNoText(1414);
    EXPECT_EQ(Texts().size(), 1u);
    EXPECT_TRUE(sender.sent.empty());

    const std::string dump = testsupport::ReadFile(db.tempFolder() / "db_QHVLogger_0.txt");
    EXPECT_THAT(dump, testing::ContainsRegex("Message 1410 of [0-9]{8} [0-9]{6}\\.[0-9]{3} not recorded: "
                                             "QHV-logger: kan ikke apne loggfil C:\\\\x\\.qhv\n"));
    EXPECT_THAT(dump, HasSubstr(" not recorded: values C:\\y.p2x\n"));
    EXPECT_THAT(dump, testing::ContainsRegex("Message 1414 of [0-9 .]+ not recorded: \\(no text\\)\n"));
}

TEST_F(DbMessagesTest, EachNewRecordIsAnnouncedToTheSender)
{
    RecordingSender sender;
    messages.setSender(&sender);
    messages.sendMessage(1410, "C:\\a.qhv");
    messages.sendMessage(1410, "C:\\a.qhv");  // suppressed: no announcement
    messages.sendMessageNoText(1414);
    EXPECT_EQ(sender.sent, (std::vector<std::string> { "$ZELIX,32\n\r", "$ZELIX,32\n\r" }));
    EXPECT_EQ(std::string(CMessages::Announcement).size(), 11u);
}

TEST_F(DbMessagesTest, AnnouncementDatagramGoesToTheAddress)
{
    UdpListener listener;
    messages.setAnnouncementAddress(("127.0.0.1:" + std::to_string(listener.port())).c_str());
    messages.sendMessageNoText(1444);
    EXPECT_EQ(listener.receive(10000), std::optional<std::string>("$ZELIX,32\n\r"));
}

TEST_F(DbMessagesTest, NothingIsAnnouncedWithoutSenderOrAddress)
{
    UdpListener listener;
    messages.setAnnouncementAddress(("127.0.0.1:" + std::to_string(listener.port())).c_str());
    messages.setSender(nullptr);  // clears the address as well
    messages.sendMessageNoText(1444);
    EXPECT_EQ(Arrivals().size(), 1u);
    EXPECT_EQ(listener.receive(300), std::nullopt);
}
