#include "QHVLogger/StatusReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <initializer_list>

namespace {

constexpr std::size_t ReasonCount = static_cast<std::size_t>(DropReason::Count);

std::string Fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The part of a path after its last separator.
std::string FileName(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Seconds without a datagram while on: since the last datagram, or since
// logging went on when none came after that.
double QuietSeconds(const LoggerFigures& figures)
{
    if (figures.lastDatagramAge < 0) {
        return figures.onFor;
    }
    return std::min(figures.lastDatagramAge, figures.onFor);
}

const char* DatabaseText(DatabaseState state)
{
    switch (state) {
    case DatabaseState::Connected: return "connected";
    case DatabaseState::Unavailable: return "unavailable";
    case DatabaseState::Unchecked: break;
    }
    return "not checked yet";
}

const char* ConditionName(LoggerCondition condition)
{
    switch (condition) {
    case LoggerCondition::NotRunning: return "not_running";
    case LoggerCondition::NoDatabase: return "no_database";
    case LoggerCondition::NoPort: return "no_port";
    case LoggerCondition::Stalled: return "stalled";
    case LoggerCondition::Flowing: return "flowing";
    case LoggerCondition::Off: return "off";
    }
    return "unknown";
}

bool IsProblem(const LoggerStatus& logger, DatabaseState database)
{
    switch (logger.condition) {
    case LoggerCondition::Off: return false;
    case LoggerCondition::Flowing: return database == DatabaseState::Unavailable;
    default: return true;
    }
}

const char* Unit(const LoggerStatus& logger)
{
    return std::string(logger.name) == "p2x" ? "lines" : "records";
}

// The part of the status line of one logger.
std::string LoggerPhrase(const LoggerStatus& logger)
{
    const LoggerFigures& f = logger.figures;
    std::string text = std::string(logger.name) + ": ";
    switch (logger.condition) {
    case LoggerCondition::NotRunning: return text + "not running";
    case LoggerCondition::NoDatabase: return text + "no database (parameters not read)";
    case LoggerCondition::Off: return text + "OFF";
    case LoggerCondition::NoPort:
        return text + "ON, no port " + std::to_string(f.wantedPort) +
               (f.boundPort != 0 ? " (still on " + std::to_string(f.boundPort) + ")" : "");
    case LoggerCondition::Stalled:
        return text + "ON, stalled: no data for " + Fixed(QuietSeconds(f), 0) + " s, " + GroupedNumber(f.written) +
               " " + Unit(logger) + (f.filePath.empty() ? "" : ", " + FileName(f.filePath));
    case LoggerCondition::Flowing:
        text += "ON " + Fixed(logger.rate, 1) + "/s, " + GroupedNumber(f.written) + " " + Unit(logger);
        return text + ", " + (f.filePath.empty() ? "no file yet" : FileName(f.filePath));
    }
    return text;
}

QJsonObject LoggerJson(const LoggerStatus& logger)
{
    const LoggerFigures& f = logger.figures;
    QJsonObject dropped;
    for (std::size_t i = 0; i < ReasonCount; ++i) {
        dropped.insert(DropReasonName(static_cast<DropReason>(i)), static_cast<double>(f.dropped[i]));
    }
    QJsonObject object;
    object.insert("state", ConditionName(logger.condition));
    object.insert("logging_on", f.loggingOn);
    object.insert("port", f.boundPort);
    object.insert("source_port", f.wantedPort);
    object.insert("file", f.filePath.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(f.filePath)));
    object.insert("file_bytes", static_cast<double>(f.fileBytes));
    object.insert("received", static_cast<double>(f.received));
    object.insert("written", static_cast<double>(f.written));
    object.insert("bytes_written", static_cast<double>(f.bytesWritten));
    object.insert("files_opened", static_cast<double>(f.filesOpened));
    object.insert("write_errors", static_cast<double>(f.writeErrors));
    object.insert("database_errors", static_cast<double>(f.databaseErrors));
    object.insert("dropped", dropped);
    object.insert("queue_length", static_cast<double>(f.queueLength));
    object.insert("rate", logger.rate);
    object.insert("last_datagram_age", f.lastDatagramAge < 0 ? QJsonValue() : QJsonValue(f.lastDatagramAge));
    object.insert("max_wait", f.maxWaitSeconds);
    object.insert("last_error", f.lastError.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(f.lastError)));
    return object;
}

// The metrics: one family after the other, each with its HELP and TYPE lines.
class MetricsWriter {
public:
    void Family(const char* name, const char* type, const char* help)
    {
        m_text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        m_name = name;
    }
    void Sample(const LoggerStatus& logger, double value, const char* reason = nullptr)
    {
        m_text += m_name + "{logger=\"" + logger.name + "\"";
        if (reason != nullptr) {
            m_text += std::string(",reason=\"") + reason + "\"";
        }
        // Counters as whole numbers (exact up to 2^53), ages to the millisecond.
        char number[64];
        std::snprintf(number, sizeof number, value == static_cast<double>(static_cast<std::int64_t>(value)) ? "%.0f" : "%.3f",
                      value);
        m_text += std::string("} ") + number + "\n";
    }
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
    std::string m_name;
};

}  // namespace

std::string GroupedNumber(std::uint64_t value)
{
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

LoggerCondition ConditionOf(const LoggerFigures& figures)
{
    if (!figures.started) {
        return LoggerCondition::NotRunning;
    }
    if (figures.parametersFailed) {
        return LoggerCondition::NoDatabase;
    }
    if (!figures.loggingOn) {
        return LoggerCondition::Off;
    }
    if (figures.boundPort == 0 || figures.boundPort != figures.wantedPort) {
        return LoggerCondition::NoPort;
    }
    if (QuietSeconds(figures) >= figures.maxWaitSeconds) {
        return LoggerCondition::Stalled;
    }
    return LoggerCondition::Flowing;
}

StatusSnapshot TakeStatusSnapshot(double heaveRate, double p2xRate, DatabaseState database,
                                  const std::string& databaseError, double uptime)
{
    StatusSnapshot status;
    status.database = database;
    status.databaseError = databaseError;
    status.uptime = uptime;
    status.heave.figures = HeaveStatistics().Figures();
    status.heave.rate = heaveRate;
    status.p2x.figures = P2XStatistics().Figures();
    status.p2x.rate = p2xRate;
    for (LoggerStatus* logger : { &status.heave, &status.p2x }) {
        logger->condition = ConditionOf(logger->figures);
    }
    return status;
}

int StatusVerdict(const StatusSnapshot& status)
{
    return IsProblem(status.heave, status.database) || IsProblem(status.p2x, status.database) ? 1 : 0;
}

std::string StatusLine(const StatusSnapshot& status)
{
    return LoggerPhrase(status.heave) + " | " + LoggerPhrase(status.p2x) + " | database: " +
           DatabaseText(status.database);
}

std::string StatusText(const StatusSnapshot& status)
{
    std::string text = StatusVerdict(status) == 0 ? "QHVLogger: all that is switched on is flowing\n"
                                                  : "QHVLogger: attention: " + StatusLine(status) + "\n";
    for (const LoggerStatus* logger : { &status.heave, &status.p2x }) {
        const LoggerFigures& f = logger->figures;
        text += "\n" + std::string(logger->name) + " logger: " + LoggerPhrase(*logger).substr(std::string(logger->name).size() + 2) + "\n";
        text += "  port:            " +
                (f.boundPort != 0 ? std::to_string(f.boundPort) : std::string("none")) +
                (f.wantedPort != f.boundPort ? " (source port " + std::to_string(f.wantedPort) + ")" : "") + "\n";
        text += "  file:            " +
                (f.filePath.empty() ? std::string("none open") : f.filePath + " (" + GroupedNumber(f.fileBytes) + " bytes)") +
                "\n";
        text += "  written:         " + GroupedNumber(f.written) + " " + Unit(*logger) + ", " +
                GroupedNumber(f.bytesWritten) + " bytes, " + GroupedNumber(f.filesOpened) + " files opened\n";
        text += "  datagrams:       " + GroupedNumber(f.received) + " received, " + Fixed(logger->rate, 1) +
                "/s; dropped:";
        for (std::size_t i = 0; i < ReasonCount; ++i) {
            text += std::string(i == 0 ? " " : ", ") + DropReasonName(static_cast<DropReason>(i)) + " " +
                    GroupedNumber(f.dropped[i]);
        }
        text += "\n  last datagram:   " +
                (f.lastDatagramAge < 0 ? std::string("none yet") : Fixed(f.lastDatagramAge, 1) + " s ago") +
                " (maximum wait " + std::to_string(f.maxWaitSeconds) + " s)\n";
        text += "  input queue:     " + GroupedNumber(f.queueLength) + "\n";
        text += "  errors:          " + GroupedNumber(f.writeErrors) + " write, " + GroupedNumber(f.databaseErrors) +
                " database\n";
        text += "  last error:      " + (f.lastError.empty() ? std::string("none") : f.lastError) + "\n";
    }
    text += std::string("\ndatabase: ") + DatabaseText(status.database) +
            (status.databaseError.empty() ? "" : " (" + status.databaseError + ")") + "\n";
    return text;
}

std::string StatusJson(const StatusSnapshot& status)
{
    QJsonObject database;
    database.insert("state", DatabaseText(status.database));
    database.insert("error", status.databaseError.empty() ? QJsonValue()
                                                          : QJsonValue(QString::fromStdString(status.databaseError)));
    QJsonObject object;
    object.insert("verdict", StatusVerdict(status));
    object.insert("status", QString::fromStdString(StatusLine(status)));
    object.insert("heave", LoggerJson(status.heave));
    object.insert("p2x", LoggerJson(status.p2x));
    object.insert("database", database);
    object.insert("uptime", status.uptime);
    return QJsonDocument(object).toJson(QJsonDocument::Indented).toStdString();
}

std::string StatusMetrics(const StatusSnapshot& status)
{
    const LoggerStatus* loggers[] = { &status.heave, &status.p2x };
    MetricsWriter out;
    const auto counter = [&](const char* name, const char* help, auto value) {
        out.Family(name, "counter", help);
        for (const LoggerStatus* logger : loggers) {
            out.Sample(*logger, static_cast<double>(value(logger->figures)));
        }
    };
    counter("qhvlogger_datagrams_received_total", "Datagrams that reached the logger's data port.",
            [](const LoggerFigures& f) { return f.received; });
    counter("qhvlogger_datagrams_written_total", "Records (.qhv) or lines (.p2x) written to the log files.",
            [](const LoggerFigures& f) { return f.written; });
    out.Family("qhvlogger_datagrams_dropped_total", "counter", "Datagrams not written, by reason.");
    for (const LoggerStatus* logger : loggers) {
        for (std::size_t i = 0; i < ReasonCount; ++i) {
            out.Sample(*logger, static_cast<double>(logger->figures.dropped[i]),
                       DropReasonName(static_cast<DropReason>(i)));
        }
    }
    counter("qhvlogger_bytes_written_total", "Bytes written to the log files.",
            [](const LoggerFigures& f) { return f.bytesWritten; });
    counter("qhvlogger_files_opened_total", "Log files opened.", [](const LoggerFigures& f) { return f.filesOpened; });
    counter("qhvlogger_write_errors_total", "Failed writes to the log files.",
            [](const LoggerFigures& f) { return f.writeErrors; });
    counter("qhvlogger_database_errors_total", "Failed reads of the logger's settings from the system database.",
            [](const LoggerFigures& f) { return f.databaseErrors; });
    out.Family("qhvlogger_queue_length", "gauge", "Signals waiting in the logger's input queue.");
    for (const LoggerStatus* logger : loggers) {
        out.Sample(*logger, static_cast<double>(logger->figures.queueLength));
    }
    out.Family("qhvlogger_last_datagram_age_seconds", "gauge",
               "Seconds since the last datagram reached the logger (-1: none since the start).");
    for (const LoggerStatus* logger : loggers) {
        out.Sample(*logger, logger->figures.lastDatagramAge < 0 ? -1.0 : logger->figures.lastDatagramAge);
    }
    out.Family("qhvlogger_logging_on", "gauge", "1 while logging is switched on.");
    for (const LoggerStatus* logger : loggers) {
        out.Sample(*logger, logger->figures.loggingOn ? 1.0 : 0.0);
    }
    out.Family("qhvlogger_flowing", "gauge", "1 while logging is on and datagrams arrive.");
    for (const LoggerStatus* logger : loggers) {
        out.Sample(*logger, logger->condition == LoggerCondition::Flowing ? 1.0 : 0.0);
    }
    std::string text = out.Text();
    text += "# HELP qhvlogger_database_up 1 when the last check of the system database succeeded.\n"
            "# TYPE qhvlogger_database_up gauge\n";
    text += std::string("qhvlogger_database_up ") + (status.database == DatabaseState::Connected ? "1" : "0") + "\n";
    return text;
}
