#include "FuzzSupport.h"

#include <QtGlobal>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace {

// A plain array, filled before dynamic initialisation: a std::string here would
// be constructed (emptied) only after the constructor below has run.
char g_driveRoot[PATH_MAX];

void QuietQt(QtMsgType, const QMessageLogContext&, const QString&)
{
    // The token store reports every lookup; millions of lines would only slow the run.
}

void RemoveScratch()
{
    std::error_code ignored;
    std::filesystem::remove_all(g_driveRoot, ignored);
}

void Die(const char* what)
{
    std::fprintf(stderr, "fuzz set-up: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

// Runs before the dynamic initialisation of every unit of the target (priority
// 101 comes before the default), so the token store that a program builds while
// it starts already sees the scratch folder and never touches the machine's own.
__attribute__((constructor(101))) void MakeScratch()
{
    const char* temp = std::getenv("TMPDIR");
    std::snprintf(g_driveRoot, sizeof g_driveRoot, "%s/qhv-fuzz-XXXXXX", temp != nullptr && *temp ? temp : "/tmp");
    if (::mkdtemp(g_driveRoot) == nullptr) {
        Die("mkdtemp");
    }
    std::error_code error;
    const std::filesystem::path root(g_driveRoot);
    std::filesystem::create_directories(root / "c" / "ProgramData" / "Valdrena Marine" / "ntrx", error);
    std::filesystem::create_directories(root / "c" / "temp", error);
    // Lookups of missing tokens append a line each: let them go nowhere.
    std::filesystem::create_symlink("/dev/null", root / "c" / "temp" / "missingtokens.txt", error);
    if (error) {
        Die("scratch folder");
    }
    ::setenv("QHV_DRIVE_ROOT", g_driveRoot, 1);
    ::setenv("ProgramData", "C:\\ProgramData", 1);
    ::unsetenv("QHV_LOGNAME");
    ::unsetenv("QHV_LOG_ROOTS");
    qInstallMessageHandler(&QuietQt);
    std::atexit(&RemoveScratch);
}

}  // namespace

namespace fuzzsupport {

std::string DriveRoot() { return g_driveRoot; }

std::string TokenFilePath() { return DriveRoot() + "/c/ProgramData/Valdrena Marine/ntrx/TRXTokens.json"; }

void WriteWholeFile(const std::string& path, const void* bytes, std::size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        Die(path.c_str());
    }
    const char* next = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t written = ::write(fd, next, size);
        if (written <= 0) {
            Die(path.c_str());
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    ::close(fd);
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Shown(const std::string& bytes)
{
    std::string text = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\' && c != '"') {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return text + "\"";
}

void Fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "\n*** property broken: %s\n*** %s\n", what, detail.c_str());
    std::abort();
}

std::vector<std::string> Fields(const std::string& sentence)
{
    const std::string line = sentence.substr(0, sentence.find_first_of("\r\n"));
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1) {
        fields.push_back(line.substr(start, comma - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

}  // namespace fuzzsupport
