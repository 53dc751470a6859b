#include "QHVLogger/LoggingResume.h"

#include "platform/Files.h"

#include <fstream>
#include <iostream>
#include <sstream>

namespace {

// Lines "key=value": "end" is "running" or "regular"; a logger that is on has
// "<logger>=on" and its four settings as "<logger>.directory=..." and so on.
constexpr char EndKey[] = "end";
constexpr char Running[] = "running";
constexpr char Regular[] = "regular";

bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

std::int32_t Number(const std::string& text)
{
    try {
        return static_cast<std::int32_t>(std::stol(text));
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

std::string CLoggingResume::FileName(const std::string& processName)
{
    return "QHVLogger-" + processName + ".resume";
}

void CLoggingResume::Open(const std::string& folder, const std::string& processName)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = folder + "/" + FileName(processName);
    std::map<std::string, std::string> values;
    std::ifstream file(m_path);
    for (std::string line; std::getline(file, line);) {
        const std::size_t equals = line.find('=');
        if (!line.empty() && line.front() != '#' && equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    m_resume.clear();
    m_on.clear();
    if (values.count(EndKey) > 0 && values[EndKey] != Regular) {
        for (const auto& [key, value] : values) {
            if (key == EndKey || key.find('.') != std::string::npos || value != "on") {
                continue;
            }
            LoggerSettings settings;
            settings.directory = values[key + ".directory"];
            settings.fileTemplate = values[key + ".template"];
            settings.interval = Number(values[key + ".interval"]);
            settings.sourcePort = Number(values[key + ".port"]);
            m_resume[key] = settings;
        }
    }
    // Until a logger switches on again, what is to be resumed stays in the
    // file: should this run end abnormally too, the next one still resumes it.
    m_on = m_resume;
    Save(false);
}

std::optional<LoggerSettings> CLoggingResume::ToResume(const std::string& logger) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_resume.find(logger);
    return found != m_resume.end() ? std::optional<LoggerSettings>(found->second) : std::nullopt;
}

void CLoggingResume::LoggingOn(const std::string& logger, const LoggerSettings& settings)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (HasLineBreak(settings.directory) || HasLineBreak(settings.fileTemplate)) {
        LoggingOffLocked(logger);  // no file can be opened there either: nothing to resume
        return;
    }
    // Every new-file command takes its settings again; the file (flushed to
    // disk) is written only when they changed.
    const auto found = m_on.find(logger);
    if (found != m_on.end() && found->second.directory == settings.directory &&
        found->second.fileTemplate == settings.fileTemplate && found->second.interval == settings.interval &&
        found->second.sourcePort == settings.sourcePort) {
        return;
    }
    m_on[logger] = settings;
    Save(false);
}

void CLoggingResume::LoggingOff(const std::string& logger)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    LoggingOffLocked(logger);
}

void CLoggingResume::LoggingOffLocked(const std::string& logger)
{
    if (m_on.erase(logger) > 0) {
        Save(false);
    }
}

void CLoggingResume::RegularEnd()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Save(true);
    m_ended = true;
}

void CLoggingResume::Save(bool regularEnd)
{
    // After the regular end a logger may still finish a job that switches it
    // on or off; the file says "regular" from then on.
    if (m_path.empty() || m_ended) {
        return;
    }
    std::ostringstream text;
    text << "# Logging of this QHVLogger, resumed at the next start should the process end abnormally.\n";
    text << EndKey << '=' << (regularEnd ? Regular : Running) << '\n';
    for (const auto& [logger, settings] : m_on) {
        text << logger << "=on\n"
             << logger << ".directory=" << settings.directory << '\n'
             << logger << ".template=" << settings.fileTemplate << '\n'
             << logger << ".interval=" << settings.interval << '\n'
             << logger << ".port=" << settings.sourcePort << '\n';
    }
    if (const int error = platform::ReplaceFileContent(m_path, text.str())) {
        // Logging goes on; only a resume after a crash would be missed.
        std::cerr << "QHV: cannot write " << m_path << " (error " << error << ")" << std::endl;
    }
}

CLoggingResume& LoggingResume()
{
    static CLoggingResume* const resume = new CLoggingResume;  // used up to the process's end
    return *resume;
}
