#include "db/Messages.h"

#include "db/OdbcIntegerRows.h"
#include "platform/Time.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

// The one datagram socket and destination of the process for announcements,
// made on the first send to an address.
class AnnouncementSocket {
public:
    static AnnouncementSocket& instance()
    {
        static AnnouncementSocket socket;
        return socket;
    }

    void send(const std::string& address)
    {
        std::call_once(m_once, [&] { m_ready = open(address); });
        if (m_ready) {
            m_socket.send(CMessages::Announcement, CMessages::AnnouncementLength, m_destination);
        }
    }

private:
    bool open(const std::string& address)
    {
        const auto colon = address.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        const std::string host = address.substr(0, colon);
        char* end = nullptr;
        const long port = std::strtol(address.c_str() + colon + 1, &end, 10);
        if (end == address.c_str() + colon + 1 || *end != '\0' || port <= 0 || port > 65535) {
            return false;
        }
        // Numeric IPv4 only: ACE would otherwise resolve to an IPv6-mapped address.
        if (m_destination.set(static_cast<u_short>(port), host.c_str(), 1, AF_INET) != 0) {
            return false;
        }
        const ACE_INET_Addr local(static_cast<u_short>(0), static_cast<ACE_UINT32>(INADDR_ANY));
        return m_socket.open(local) == 0;
    }

    std::once_flag m_once;
    bool m_ready = false;
    ACE_SOCK_Dgram m_socket;
    ACE_INET_Addr m_destination;
};

}  // namespace

void CMessages::setSender(CMessageSender* sender)
{
    m_sender = sender;
    m_address.clear();
}

void CMessages::setAnnouncementAddress(const char* hostAndPort)
{
    m_address = hostAndPort != nullptr ? hostAndPort : "";
}

void CMessages::notify()
{
    if (m_sender != nullptr) {
        m_sender->send(Announcement, AnnouncementLength);
    } else if (!m_address.empty()) {
        AnnouncementSocket::instance().send(m_address);
    }
}

int CMessages::loadMessageTypes()
{
    m_language = 3;
    char connectString[100];
    std::snprintf(connectString, sizeof connectString, "UID=%s;PWD=%s;DSN=%s", SystemDatabaseUser,
                  SystemDatabasePassword, SystemDataSource);
    ReadIntegerRows(connectString, "select number, type, typeLogging from messages where lang=1", 3,
                    [this](const std::int32_t* row) { m_types[row[0]] = { row[1], row[2] }; });
    return 0;
}

int CMessages::messageType(int number)
{
    auto entry = m_types.find(number);
    if (entry == m_types.end()) {
        int type = 0;
        int typeLogging = 0;
        if (m_database != nullptr) {
            m_database->getMessageType(number, &type, &typeLogging);
        }
        entry = m_types.insert_or_assign(number, std::make_pair(type != 0 ? type : 1,
                                                                typeLogging != 0 ? typeLogging : 1)).first;
    }
    const int loggingStatus =
        m_database != nullptr ? m_database->getIntToken("MAIN_W_LOGGING_STATUS_ON_OFF") : 0;
    return loggingStatus <= 0 ? entry->second.first : entry->second.second;
}

CMessages::MessageTime CMessages::now()
{
    const platform::SystemTime time = platform::Now();
    const std::tm utc = platform::UtcTime(time.seconds);
    return MessageTime { (utc.tm_year + 1900) * 10000 + (utc.tm_mon + 1) * 100 + utc.tm_mday,
                         utc.tm_hour * 10000 + utc.tm_min * 100 + utc.tm_sec, time.milliseconds };
}

const char* CMessages::messageFormat(int number)
{
    auto entry = m_formats.find(number);
    if (entry == m_formats.end()) {
        if (m_database == nullptr) {
            return nullptr;
        }
        bool found = false;
        char* text = m_database->getMessageText(number, m_language, &found);
        if (text == nullptr) {
            return nullptr;
        }
        if (!found) {
            // Shown this time, looked for again next time: a text added to the
            // database later is used without a restart.
            m_missingFormat = text;
            std::free(text);
            return m_missingFormat.c_str();
        }
        entry = m_formats.emplace(number, text).first;
        std::free(text);
    }
    return entry->second.c_str();
}

void CMessages::formatValues(char* text, const char* format, ...)
{
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, MaxTextLength + 1, format, values);
    va_end(values);
}

void CMessages::record(const MessageTime& when, int number, const char* text, const std::string& values)
{
    messageType(number);
    if (m_database == nullptr) {
        return;
    }
    const int millisecond =
        m_database->insertArrivedMessage(when.date, when.time, when.milliseconds, number, text, false);
    std::string shown = text;
    if (shown.empty()) {
        shown = values.empty() ? std::string(NoText) : "values " + values;
    }
    if (millisecond > 0) {
        if (m_database->insertArrivedMessageText(when.date, millisecond, number, m_language, text) < 0) {
            keepInDump(when, number, text);
        }
        notify();
        if (m_recordReport) {
            m_recordReport(number, shown, true);
        }
    } else if (millisecond < 0) {
        keepInDump(when, number, shown);
        if (m_recordReport) {
            m_recordReport(number, shown, false);
        }
    }
}

const char* const CMessages::NoText = "(no text)";

void CMessages::keepInDump(const MessageTime& when, int number, const std::string& text)
{
    // The arrival row holds no text, so while the database is unreachable or
    // locked the message itself would be gone: the dump file keeps it.
    char head[96];
    std::snprintf(head, sizeof head, "Message %d of %08d %06d.%03d not recorded: ", number, when.date, when.time,
                  when.milliseconds);
    m_database->writeDebug((head + text + "\n").c_str());
}

void CMessages::sendMessageNoText(int number)
{
    const MessageTime when = now();
    messageType(number);
    if (m_database == nullptr) {
        return;
    }
    const int millisecond = m_database->insertArrivedMessage(when.date, when.time, when.milliseconds, number, " ", true);
    if (millisecond > 0) {
        notify();
        if (m_recordReport) {
            // The database answers: the number's own text is what the operator reads.
            const char* format = messageFormat(number);
            m_recordReport(number, format != nullptr ? format : NoText, true);
        }
    } else if (millisecond < 0) {
        keepInDump(when, number, NoText);
        if (m_recordReport) {
            m_recordReport(number, NoText, false);
        }
    }
}
