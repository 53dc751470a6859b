// The road of a log path from the network to the file system: fields 3 and 4
// of a logging command (or the logger's tokens for empty ones), the time
// tokens, the drive mapping, the log roots, the folders made and the file
// opened by CDatagramLogFile. QHV_LOG_ROOTS names two folders of the scratch
// drive root: one not made yet, and one with links planted in it (out of it absolute and relative, one
// within it, a dangling one to a file outside, a loop). After every input
// nothing new may exist outside the root, and no descriptor of the process
// may lead outside it. The token store's P2X folder is hostile as well.
#include "CapturingMachine.h"
#include "FuzzSupport.h"
#include "TokenStoreSetUp.h"

#include "QHVLogger/LogFiles.h"
#include "QHVLogger/LoggerShared.h"
#include "fsm/FsmSignal.h"
#include "tokens/GetToken.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <utility>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;


constexpr char TokenFile[] = R"({
    "lastsave": "20250101_120000",
    "tokens": [
        { "Descr": "", "Name": "RUNT_PARAM_QHV_DIR", "Type": 3, "Value": "C:\\survey\\tok" },
        { "Descr": "", "Name": "RUNT_PARAM_QHV_FILE", "Type": 3, "Value": "tok__TOKY_.qhv" },
        { "Descr": "", "Name": "RUNT_PARAM_QHV_INTERVAL_TIME", "Type": 2, "Value": "7" },
        { "Descr": "", "Name": "RUNT_PARAM_P2X_DIR", "Type": 3,
          "Value": "C:\\survey\\..\\ProgramData\\Valdrena Marine\\ntrx\\ntrx.db-journal" },
        { "Descr": "", "Name": "RUNT_PARAM_P2X_FILE", "Type": 3, "Value": "p2x__TOKEPOCSEC_.p2x" }
    ],
    "version": "1"
}
)";

// Inputs beyond this are skipped: each level of a path costs a few system calls.
constexpr std::size_t MaxInput = 2048;

CGetToken* g_store = nullptr;
fuzzsupport::CapturingMachine* g_owner = nullptr;
std::string g_root;     // the log root (native, no links)
std::string g_missing;  // a second log root, not made until a path names it
std::string g_scratch;  // the scratch drive root
std::set<std::string> g_outside;  // what exists outside the root, found at the start

// The planted entries of the root: name, and link target (empty: a folder).
const std::pair<const char*, std::string>* Planted(std::size_t& count)
{
    static const std::pair<const char*, std::string> planted[] = {
        { "sub", "" },
        { "up", g_scratch + "/c" },
        { "rel", "../ProgramData" },
        { "inner", "sub" },
        { "d.qhv", g_scratch + "/c/outside.qhv" },
        { "loop", "loop" },
    };
    count = sizeof planted / sizeof planted[0];
    return planted;
}

// Puts the root back as planted: what an input made in it goes, what it moved
// comes back. Only what changed costs a system call (folders are slow to make).
void PlantRoot()
{
    std::size_t count = 0;
    const auto* planted = Planted(count);
    std::error_code error;
    fs::create_directories(g_root, error);
    for (const auto& entry : fs::directory_iterator(g_root, error)) {
        const std::string name = entry.path().filename().string();
        bool keep = false;
        for (std::size_t i = 0; i < count && !keep; ++i) {
            keep = name == planted[i].first;
        }
        if (!keep) {
            fs::remove_all(entry.path(), error);
        }
    }
    for (const auto& entry : fs::directory_iterator(g_root + "/sub", error)) {
        fs::remove_all(entry.path(), error);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::string path = g_root + "/" + planted[i].first;
        if (planted[i].second.empty()) {
            fs::create_directory(path, error);
        } else if (!fs::is_symlink(fs::symlink_status(path, error))) {
            fs::create_symlink(planted[i].second, path, error);
        }
    }
    if (error) {
        fuzzsupport::Fail("planting the log root", error.message());
    }
}

bool BeneathARoot(const std::string& path)
{
    return path.compare(0, g_root.size() + 1, g_root + "/") == 0 ||
           path.compare(0, g_missing.size() + 1, g_missing + "/") == 0;
}

// Every entry below `folder` (links not followed), except the log roots.
void ListOutside(const std::string& folder, std::set<std::string>& entries)
{
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = folder + "/" + name;
        if (path == g_root || path == g_missing) {
            continue;
        }
        entries.insert(path);
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            ListOutside(path, entries);
        }
    }
    ::closedir(dir);
}

// No descriptor of the process leads into the scratch area outside the root.
void CheckDescriptors(const std::string& input)
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        fuzzsupport::Fail("/proc/self/fd", "cannot be read");
    }
    while (const dirent* entry = ::readdir(dir)) {
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(::dirfd(dir), entry->d_name, target, sizeof target - 1);
        if (length <= 0) {
            continue;
        }
        const std::string path(target, static_cast<std::size_t>(length));
        const bool inScratch = path.compare(0, g_scratch.size() + 1, g_scratch + "/") == 0;
        FUZZ_CHECK(!inScratch || BeneathARoot(path),
                   fuzzsupport::Shown(input) + " left a descriptor on " + path);
    }
    ::closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_store = fuzzsupport::NewTokenStoreOver(TokenFile);
    g_owner = new fuzzsupport::CapturingMachine();
    g_scratch = fs::canonical(fuzzsupport::DriveRoot()).string();
    g_root = g_scratch + "/c/survey";
    g_missing = g_scratch + "/c/nowhere";
    // The system database's folder, as on a workstation. (The working
    // directory stays: libFuzzer names its corpus folders relative to it.)
    fuzzsupport::WriteWholeFile(g_scratch + "/c/ProgramData/Valdrena Marine/ntrx/ntrx.db", "db", 2);
    PlantRoot();
    ::setenv("QHV_LOG_ROOTS", (g_missing + ":" + g_root).c_str(), 1);
    // One lookup of every token first: whatever the store makes, it makes now.
    SettingsFromSentence("$ZELIX,170", HeaveSettingTokens, *g_store);
    SettingsFromSentence("$ZELIX,173", P2XSettingTokens, *g_store);
    ListOutside(g_scratch, g_outside);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || size > MaxInput) {
        return 0;
    }
    // The first byte picks the logger and how often field 3 is repeated (up to
    // 8 times, so paths beyond PATH_MAX come from short inputs). The rest
    // gives fields 3 and 4 up to its first two commas; an empty one is taken
    // from the logger's token. Interval and port are given: their lookups in
    // the token store would only slow the run.
    const bool heave = (data[0] & 1) == 0;
    const int repeat = 1 + ((data[0] >> 1) & 7);
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t comma = std::min(input.find(','), input.size());
    const std::size_t end = std::min(input.find(',', comma + 1), input.size());
    const std::string sentence = std::string(heave ? "$ZELIX,170," : "$ZELIX,173,") + input.substr(0, comma) + "," +
                                 (comma < input.size() ? input.substr(comma + 1, end - comma - 1) : "") + ",7,31102";
    const LoggerSettings settings =
        SettingsFromSentence(sentence, heave ? HeaveSettingTokens : P2XSettingTokens, *g_store);
    std::string directory = settings.directory;
    for (int i = 1; i < repeat; ++i) {
        directory += "\\" + settings.directory;
    }

    CDatagramLogFile file(*g_owner, heave ? ".qhv" : ".p2x");
    file.SetPath(ExpandFileNameTokens(directory + "\\" + settings.fileTemplate, 1764950529, 1764950529));
    if (file.OpenLogFile()) {
        const char record[] = "\xAA" "R0123456789a";
        CTRXSignal signal(59352, const_cast<char*>(record), 13);
        file.WriteDatagramRecord(signal);
        file.WriteLine(record, 13);
        CheckDescriptors(sentence);
        file.CloseLogFile();
    }
    CheckDescriptors(sentence);
    // Opened or moved aside again (the existing file): nothing outside may change.
    file.RenameExistingLogFile();

    std::set<std::string> outside;
    ListOutside(g_scratch, outside);
    for (const std::string& path : outside) {
        FUZZ_CHECK(g_outside.count(path) != 0, fuzzsupport::Shown(sentence) + " made " + path);
    }
    FUZZ_CHECK(outside.size() == g_outside.size(), fuzzsupport::Shown(sentence) + " removed something outside");

    // The root as planted for the next input.
    std::error_code ignored;
    fs::remove_all(g_missing, ignored);
    PlantRoot();
    return 0;
}
