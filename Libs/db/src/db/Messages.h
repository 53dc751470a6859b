// Numbered operator messages: formats a message's text from the database with
// its values, records the arrival and its text through the bound CDBoperations
// (which suppresses repeats) and announces each new record. An object is used
// by the thread of its owner only; the process-wide announcement socket is
// created once, safely from any thread.
#pragma once

#include "db/DBoperations.h"
#include "db/PrintfCheck.h"

#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>

// Receives the announcement of a new message record instead of the UDP socket.
class CMessageSender {
public:
    virtual ~CMessageSender() = default;
    virtual void send(const char* data, std::size_t length) = 0;
};

class CMessages {
public:
    // Control sentence 32, "new message recorded": line feed before carriage return.
    static constexpr char Announcement[] = "$ZELIX,32\n\r";
    static constexpr std::size_t AnnouncementLength = sizeof Announcement - 1;
    static constexpr int TextSize = 400;
    static constexpr int MaxTextLength = 398;  // a formatted text is cut to this

    CMessages() = default;
    virtual ~CMessages() = default;

    CMessages(const CMessages&) = delete;
    CMessages& operator=(const CMessages&) = delete;

    // The database object used for texts, types and records (borrowed).
    void setDatabase(CDBoperations* database) { m_database = database; }
    // Announcements go to the sender (borrowed; null for none); clears the
    // announcement address.
    virtual void setSender(CMessageSender* sender);
    // Where announcements go as UDP datagrams when no sender is set: "ip:port",
    // numeric IPv4. The first address sent to is kept for the life of the process.
    void setAnnouncementAddress(const char* hostAndPort);
    // Sends "$ZELIX,32\n\r" to the sender or the announcement address; nothing
    // when neither is set.
    virtual void notify();

    // Reads the types of all messages over a connection of its own (data source
    // "NTRXDB"); failures are written to standard error. Always 0.
    int loadMessageTypes();
    // The type to use for a message: its type, or its typeLogging while the
    // token MAIN_W_LOGGING_STATUS_ON_OFF is above 0.
    int messageType(int number);

    // Records message `number` with its text formatted from `values`. A text whose
    // conversions do not fit the values is recorded as it stands, unformatted.
    template <typename... Values>
    void sendMessage(int number, Values... values);
    // Records message `number` without a text.
    void sendMessageNoText(int number);

    // Called with each message recorded (`recorded` true) or lost to an
    // unavailable database and kept in the dump file (false), with its text:
    // the formatted text, or for a message without one the number's text in
    // the object's language; "(no text)" where neither can be had. A repeat
    // that is suppressed is no message. On the thread that sends the message.
    using RecordReport = std::function<void(int number, const std::string& text, bool recorded)>;
    void setRecordReport(RecordReport report) { m_recordReport = std::move(report); }

    int language() const { return m_language; }
    const std::map<int, std::pair<int, int>>& messageTypes() const { return m_types; }

private:
    struct MessageTime {
        int date;          // YYYYMMDD (UTC)
        int time;          // hhmmss (UTC)
        int milliseconds;  // within the second
    };
    static MessageTime now();
    // The number's format from the cache, else from the database; null when none.
    const char* messageFormat(int number);
    static void formatValues(char* text, const char* format, ...);
    // Records the arrival and its text; when the database does not take them,
    // the dump file keeps the text, or `values` where there was no text to format.
    void record(const MessageTime& when, int number, const char* text, const std::string& values);
    void keepInDump(const MessageTime& when, int number, const std::string& text);
    static const char* const NoText;  // what the dump file says of a message without text
    template <typename... Values>
    static std::string valuesText(Values... values);

    template <typename T>
    static T printfValue(T value) { return value; }
    static const char* printfValue(const char* text) { return text != nullptr ? text : "(null)"; }
    static const char* printfValue(char* text) { return text != nullptr ? text : "(null)"; }

    CDBoperations* m_database = nullptr;
    CMessageSender* m_sender = nullptr;
    std::string m_address;
    int m_language = 3;
    std::map<int, std::pair<int, int>> m_types;  // number -> (type, typeLogging)
    std::map<int, std::string> m_formats;        // number -> text used as printf format
    std::string m_missingFormat;                 // the error text of a number without a text row
    RecordReport m_recordReport;
};

template <typename... Values>
void CMessages::sendMessage(int number, Values... values)
{
    const MessageTime when = now();
    char text[TextSize] = {};
    const char* format = messageFormat(number);
    if (format != nullptr) {
        // One element more than values, so the array is never empty.
        static constexpr PrintfArg kinds[] = { PrintfArgOf<Values>()..., PrintfArg::Int };
        if (PrintfFormatFits(format, kinds, sizeof...(Values))) {
            formatValues(text, format, printfValue(values)...);
        } else {
            std::strncpy(text, format, MaxTextLength);
        }
    }
    record(when, number, text, format != nullptr ? std::string() : valuesText(values...));
}

template <typename... Values>
std::string CMessages::valuesText(Values... values)
{
    std::ostringstream text;
    [[maybe_unused]] const char* separator = "";  // unused without values
    ((text << separator << printfValue(values), separator = ", "), ...);
    return text.str();
}
