#include "QHVLogger/ProcessWide.h"

#include "LogTrace/LogTrace.h"
#include "db/Messages.h"
#include "net/UdpReceiver.h"
#include "platform/ConfigDirectory.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <log4cplus/configurator.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/loggingmacros.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

ACE_Semaphore g_terminationSemaphore(0, USYNC_THREAD, nullptr, nullptr, 2147483647);

namespace {

constexpr char PropertyFile[] = "log4cplus_configureQHV.ini";

}  // namespace

log4cplus::Logger ProcessLogger()
{
    return log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("QHVLOGGER"));
}

void ReportMessagesToProcessLog(CMessages& messages)
{
    messages.setRecordReport([](int number, const std::string& text, bool recorded) {
        // A text from the database may end in a line end of its own.
        const std::size_t end = text.find_last_not_of("\r\n");
        const std::string shown = end == std::string::npos ? std::string() : text.substr(0, end + 1);
        const std::string line = "Message " + std::to_string(number) +
                                 (recorded ? ": " : " (not recorded, database unavailable): ") + shown;
        LOG4CPLUS_WARN(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(line));
    });
}

void ConfigureProcessLog()
{
    log4cplus::initialize();
    const std::string inConfigDirectory = ConfigDirectory() + "/" + PropertyFile;
    const std::string file = platform::FileExists(inConfigDirectory) ? platform::NativePath(inConfigDirectory)
                                                                     : std::string(PropertyFile);
    log4cplus::PropertyConfigurator::doConfigure(LOG4CPLUS_STRING_TO_TSTRING(file),
                                                 log4cplus::Logger::getDefaultHierarchy(), 0);
    const log4cplus::Logger logger = ProcessLogger();
    LOG4CPLUS_INFO(logger, LOG4CPLUS_TEXT("\n\n\n"));
    LOG4CPLUS_INFO(logger, LOG4CPLUS_TEXT("QHV Logger starts"));
}

platform::PortClaim OpenControlPortOrEnd(UdpReceiver& receiver, std::uint16_t port, LogTrace* trace)
{
    // Port 0 is a port of the system's choice, which no other process has.
    platform::PortClaim claim = port != 0 ? platform::PortClaim(port) : platform::PortClaim();
    std::string reason;
    if (port != 0 && !claim.Held()) {
        reason = claim.Error() == EADDRINUSE ? "another QHVLogger process listens on it"
                                             : "cannot claim it: " + std::string(std::strerror(claim.Error()));
    } else {
        try {
            receiver.openOnPort(port);
            return claim;
        } catch (const std::exception& e) {
            reason = e.what();
        }
    }
    const std::string text = "QHV: cannot open control port " + std::to_string(port) + ": " + reason;
    std::cerr << text << std::endl;
    LOG4CPLUS_ERROR(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(text));
    if (trace != nullptr) {
        trace->AppendText(("\n\tERROR: " + text).c_str());
    }
    ShutdownLogAndEndProcess(-1);
}

void ShutdownLogAndEndProcess(int exitCode)
{
    log4cplus::deinitialize();
    EndProcess(exitCode);
}

void EndProcess(int exitCode)
{
    std::cout.flush();
    std::cerr.flush();
    std::clog.flush();
    std::fflush(nullptr);
    ::_exit(exitCode);
}
