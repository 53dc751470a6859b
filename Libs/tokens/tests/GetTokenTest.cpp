// The token store against real files and a real SQLite token database in a
// temporary drive root; Qt's debug and warning output is recorded and checked.
#include "tokens/GetToken.h"

#include "platform/ConfigDirectory.h"
#include "platform/TokenLock.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <QtGlobal>
#include <sqlite3.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Records Qt's debug and warning output as "D text" / "W text" while it lives.
class QtMessages {
public:
    QtMessages()
    {
        s_active = this;
        m_previous = qInstallMessageHandler(&Handle);
    }
    ~QtMessages()
    {
        qInstallMessageHandler(m_previous);
        s_active = nullptr;
    }
    QtMessages(const QtMessages&) = delete;
    QtMessages& operator=(const QtMessages&) = delete;

    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> taken;
        taken.swap(m_lines);
        return taken;
    }

private:
    static void Handle(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (s_active != nullptr) {
            std::lock_guard<std::mutex> lock(s_active->m_mutex);
            s_active->m_lines.push_back((type == QtDebugMsg ? "D " : "W ") + text.toStdString());
        }
    }

    static inline QtMessages* s_active = nullptr;
    QtMessageHandler m_previous = nullptr;
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

long Count(const std::vector<std::string>& lines, const std::string& line)
{
    return std::count(lines.begin(), lines.end(), line);
}

constexpr char Schema[] = R"(
    create table token_value (token varchar(64), value_id integer, description_id integer);
    create table float_values (id integer, value real);
    create table integer_values (id integer, value integer);
    create table varchar_values (id integer, value varchar(255));
    create table descriptions_language (id integer, language integer, description_id integer);
    create table descriptions (id integer, description varchar(512));
)";

// A token file as another process of the system would write it.
std::string TokenFile(const std::string& tokens)
{
    return R"({ "lastsave": "20250131_120000", "tokens": [ )" + tokens + R"( ], "version": "1" })";
}

// Root passes over file permissions by its capabilities; while this object
// lives the calling thread works without them, so that a file without read
// permission cannot be opened by root either. Dropping a capability from the
// effective set is allowed to every process, and it is raised again at the end.
class WithoutPermissionOverride {
public:
    WithoutPermissionOverride()
    {
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        EXPECT_EQ(::syscall(SYS_capget, &m_header, m_saved), 0);
        __user_cap_data_struct reduced[2] = { m_saved[0], m_saved[1] };
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        EXPECT_EQ(::syscall(SYS_capset, &m_header, reduced), 0);
    }
    ~WithoutPermissionOverride() { ::syscall(SYS_capset, &m_header, m_saved); }
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

private:
    __user_cap_header_struct m_header {};
    __user_cap_data_struct m_saved[2] {};
};

class TokenStore : public ::testing::Test {
protected:
    TokenStore()
    {
        fs::create_directories(m_configFolder);
    }

    void CreateDatabase(const std::string& rows)
    {
        sqlite3* database = nullptr;
        ASSERT_EQ(sqlite3_open((m_configFolder / "ntrx.db").c_str(), &database), SQLITE_OK);
        char* error = nullptr;
        const int result = sqlite3_exec(database, (Schema + rows).c_str(), nullptr, nullptr, &error);
        const std::string message = error != nullptr ? error : "";
        sqlite3_free(error);
        sqlite3_close(database);
        ASSERT_EQ(result, SQLITE_OK) << message;
    }

    std::string MissingTokenLines() const { return ReadFile(m_root.path() / "c" / "temp" / "missingtokens.txt"); }

    TempDir m_root;
    ScopedEnv m_drives { "QHV_DRIVE_ROOT", m_root.str() };
    ScopedEnv m_programData { "ProgramData", "C:\\ProgramData" };
    const fs::path m_configFolder = m_root.path() / "c" / "ProgramData" / "Valdrena Marine" / "ntrx";
    const fs::path m_tokenFile = m_configFolder / "TRXTokens.json";
    QtMessages m_messages;
};

}  // namespace

TEST(ConfigDirectory, FollowsProgramData)
{
    {
        ScopedEnv programData("ProgramData", "/etc/qhv");
        EXPECT_EQ(ConfigDirectory(), "/etc/qhv\\Valdrena Marine\\ntrx\\");
    }
    ScopedEnv programData("ProgramData", std::nullopt);
    EXPECT_EQ(ConfigDirectory(), "\\Valdrena Marine\\ntrx\\");
}

TEST_F(TokenStore, CreatesTheTokenFileFromTheDatabaseAndServesIt)
{
    CreateDatabase(R"(
        insert into token_value values ('RUNT_PARAM_QHV_DIR', 30, 1);
        insert into token_value values ('RUNT_PARAM_QHV_INTERVAL_TIME', 20, 2);
        insert into token_value values ('RUNT_PI', 10, 99);
        insert into token_value values ('RUNT_QUOTE''S', 21, 3);
        insert into varchar_values values (30, 'D:\heave');
        insert into integer_values values (20, 30), (21, -7);
        insert into float_values values (10, 3.14159265);
        insert into descriptions_language values (1, 1, 12), (1, 3, 11), (2, 3, 13), (3, 3, 14);
        insert into descriptions values (11, 'Mappe for hivlogg – ø'), (12, 'Heave folder'),
                                        (13, 'Minutes per file'), (14, 'Quoted');
    )");

    CGetToken store;

    EXPECT_EQ(m_messages.Take(), (std::vector<std::string> {
        "D Init tokens. Empty list", "D saveJson", "D File lock secured",
        "D File lock secured", "D Read json file", "D CGetToken - read OK" }));
    const std::string written = ReadFile(m_tokenFile);
    const std::regex stamp(R"("lastsave": "\d{8}_\d{6}")");
    EXPECT_TRUE(std::regex_search(written, stamp)) << written;
    EXPECT_EQ(std::regex_replace(written, stamp, R"("lastsave": "STAMP")"), R"({
    "lastsave": "STAMP",
    "tokens": [
        {
            "Descr": "Mappe for hivlogg – ø",
            "Name": "RUNT_PARAM_QHV_DIR",
            "Type": 3,
            "Value": "D:\\heave"
        },
        {
            "Descr": "Minutes per file",
            "Name": "RUNT_PARAM_QHV_INTERVAL_TIME",
            "Type": 2,
            "Value": "30"
        },
        {
            "Descr": "",
            "Name": "RUNT_PI",
            "Type": 1,
            "Value": "3.14159"
        },
        {
            "Descr": "Quoted",
            "Name": "RUNT_QUOTE'S",
            "Type": 2,
            "Value": "-7"
        }
    ],
    "version": "1"
}
)");

    EXPECT_EQ(store.getTokValueInt("RUNT_PARAM_QHV_INTERVAL_TIME"), 30);
    EXPECT_EQ(store.getTokValueInt("RUNT_QUOTE'S"), -7);
    EXPECT_EQ(store.getTokValueStr("RUNT_PARAM_QHV_DIR"), "D:\\heave");
    const auto lookups = m_messages.Take();
    EXPECT_EQ(Count(lookups, "D Get token  RUNT_PARAM_QHV_INTERVAL_TIME"), 1);
    EXPECT_EQ(Count(lookups, "D CGetToken - read OK"), 3);
    EXPECT_EQ(MissingTokenLines(), "");
}

TEST_F(TokenStore, WrongTypesAndUnknownNamesAreMissingTokens)
{
    WriteFile(m_tokenFile, TokenFile(R"(
        { "Name": "INT", "Descr": "", "Type": 2, "Value": "5" },
        { "Name": "TEXT", "Descr": "", "Type": 3, "Value": "abc" },
        { "Name": "PI", "Descr": "", "Type": 1, "Value": "3.14" })"));
    CGetToken store;
    m_messages.Take();

    EXPECT_EQ(store.getTokValueStr("INT"), "");
    EXPECT_EQ(store.getTokValueInt("TEXT"), 0);
    EXPECT_EQ(store.getTokValueInt("PI"), 0);
    EXPECT_EQ(store.getTokValueInt("int"), 0);  // names are case-sensitive
    EXPECT_EQ(store.getTokValueStr("NOWHERE"), "");
    EXPECT_EQ(store.getTokValueInt("INT"), 5);

    const auto messages = m_messages.Take();
    EXPECT_EQ(Count(messages, "W CGetToken - Not found  INT"), 1);
    EXPECT_EQ(Count(messages, "W CGetToken - Not found  NOWHERE"), 1);
    EXPECT_EQ(MissingTokenLines(),
              "getTokValueStr missing token INT\n"
              "getTokValueInt missing token TEXT\n"
              "getTokValueInt missing token PI\n"
              "getTokValueInt missing token int\n"
              "getTokValueStr missing token NOWHERE\n");
}

TEST_F(TokenStore, EveryLookupReadsTheFileAgainAndSkipsWhatIsNoToken)
{
    WriteFile(m_tokenFile, TokenFile(R"(
        5, {}, "text",
        { "Name": "PORT", "Type": 2, "Value": "31102" },
        { "Name": "SUFFIXED", "Descr": "", "Type": 2, "Value": "12abc" })"));
    CGetToken store;
    EXPECT_EQ(store.getTokValueInt("PORT"), 31102);  // a missing "Descr" reads as empty
    EXPECT_EQ(store.getTokValueInt("SUFFIXED"), 0);  // not a decimal number, but present

    WriteFile(m_tokenFile, TokenFile(R"({ "Name": "PORT", "Descr": "", "Type": 2, "Value": "4002" })"));
    EXPECT_EQ(store.getTokValueInt("PORT"), 4002);
    EXPECT_EQ(store.getTokValueInt("SUFFIXED"), 0);
    EXPECT_EQ(MissingTokenLines(), "getTokValueInt missing token SUFFIXED\n");
}

TEST_F(TokenStore, RepeatedMissingLookupsCannotFillTheDisk)
{
    WriteFile(m_tokenFile, TokenFile(R"({ "Name": "PORT", "Descr": "", "Type": 2, "Value": "4002" })"));
    CGetToken store;
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(store.getTokValueStr("RUNT_PARAM_QHV_DIR"), "");
        EXPECT_EQ(store.getTokValueInt("RUNT_PARAM_QHV_LOG_SOURCE_PORT"), 0);
        EXPECT_EQ(store.getTokValueInt("PORT"), 4002);
    }
    // Within a minute each missing lookup is one line, the names kept apart.
    EXPECT_EQ(MissingTokenLines(),
              "getTokValueStr missing token RUNT_PARAM_QHV_DIR\n"
              "getTokValueInt missing token RUNT_PARAM_QHV_LOG_SOURCE_PORT\n");

    // A file that a line would take beyond 1 MiB is kept as missingtokens_1.txt
    // (replacing an older one) and a new file takes the line.
    const fs::path folder = m_root.path() / "c" / "temp";
    const std::string nearlyFull((1 << 20) - 20, '#');
    WriteFile(folder / "missingtokens_1.txt", "older");
    {
        std::ofstream file(folder / "missingtokens.txt", std::ios::app);
        file << nearlyFull;
    }
    const std::string before = MissingTokenLines();
    EXPECT_EQ(store.getTokValueStr("RUNT_PARAM_P2X_DIR"), "");
    EXPECT_EQ(ReadFile(folder / "missingtokens_1.txt"), before);
    EXPECT_EQ(MissingTokenLines(), "getTokValueStr missing token RUNT_PARAM_P2X_DIR\n");
    EXPECT_EQ(store.getTokValueStr("RUNT_PARAM_P2X_FILE"), "");
    EXPECT_EQ(MissingTokenLines(),
              "getTokValueStr missing token RUNT_PARAM_P2X_DIR\n"
              "getTokValueStr missing token RUNT_PARAM_P2X_FILE\n");
}

TEST_F(TokenStore, WithoutTokensInTheDatabaseTheStoreStaysEmpty)
{
    CreateDatabase("");
    CGetToken store;
    const auto construction = m_messages.Take();
    EXPECT_EQ(Count(construction, "W No tokens in database"), 2);
    EXPECT_FALSE(fs::exists(m_tokenFile));

    // Each lookup tries to make the missing file again.
    EXPECT_EQ(store.getTokValueInt("RUNT_PARAM_QHV_FILE"), 0);
    EXPECT_EQ(m_messages.Take(), (std::vector<std::string> {
        "D Get token  RUNT_PARAM_QHV_FILE", "D File lock secured", "D Read json file",
        "W Couldn't open file.", "W No tokens in database" }));
    EXPECT_FALSE(fs::exists(m_tokenFile));
    EXPECT_EQ(store.getTokValueStr("RUNT_PARAM_QHV_DIR"), "");
    EXPECT_EQ(m_messages.Take().back(), "W CGetToken - read failed");
    EXPECT_EQ(MissingTokenLines(), "");
}

TEST_F(TokenStore, AMissingDatabaseIsNotCreated)
{
    CGetToken store;
    EXPECT_FALSE(fs::exists(m_configFolder / "ntrx.db"));
    EXPECT_FALSE(fs::exists(m_tokenFile));
    EXPECT_EQ(store.getTokValueStr("RUNT_PARAM_P2X_DIR"), "");
    // c:\temp did not exist under the fresh drive root: the store made it.
    EXPECT_TRUE(fs::is_regular_file(m_root.path() / "c" / "temp" / "token.lck"));
}

TEST_F(TokenStore, AFileBrokenOrDeletedWhileRunningIsMadeAgainFromTheDatabase)
{
    CreateDatabase(R"(
        insert into token_value values ('PORT', 20, 0);
        insert into integer_values values (20, 7);
    )");
    WriteFile(m_tokenFile, TokenFile(R"({ "Name": "PORT", "Descr": "", "Type": 2, "Value": "1" })"));
    CGetToken store;
    EXPECT_EQ(store.getTokValueInt("PORT"), 1);

    // No object, a save cut short, an empty file: each is kept aside (an older
    // one replaced), and the lookup is served from the file made again.
    for (const std::string broken : { "[]", "{ \"tokens\": [ ", "" }) {
        WriteFile(m_tokenFile, broken);
        EXPECT_EQ(store.getTokValueInt("PORT"), 7);
        EXPECT_EQ(ReadFile(m_configFolder / "TRXTokens.json.bad"), broken);
    }
    fs::remove(m_tokenFile);
    EXPECT_EQ(store.getTokValueInt("PORT"), 7);
    EXPECT_NE(ReadFile(m_tokenFile).find(R"("Value": "7")"), std::string::npos);
    EXPECT_EQ(Count(m_messages.Take(), "W CGetToken - token file made again from the token database"), 4);
}

TEST_F(TokenStore, ASaveThatFailsPartWayLeavesTheOldFileWhole)
{
    WriteFile(m_tokenFile, TokenFile(R"({ "Name": "PORT", "Descr": "", "Type": 2, "Value": "31102" })"));
    CGetToken store;
    const std::string before = ReadFile(m_tokenFile);
    // Saved by a child process whose writes past 64 bytes fail, as on a disk
    // that fills up during the save.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit { 64, 64 };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(store.saveJson() ? 1 : 0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save should have failed";
    EXPECT_EQ(ReadFile(m_tokenFile), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_configFolder), fs::directory_iterator()), 1) << "no file left";

    EXPECT_TRUE(store.saveJson());
    EXPECT_EQ(store.getTokValueInt("PORT"), 31102);
}

TEST_F(TokenStore, AnEmptyTokenListFailsLookupsAndIsNeverOverwritten)
{
    const std::string empty = TokenFile("");
    WriteFile(m_tokenFile, empty);
    CGetToken store;
    EXPECT_EQ(Count(m_messages.Take(), "D token size is 0"), 2);

    EXPECT_EQ(store.getTokValueStr("RUNT_PARAM_QHV_FILE"), "");
    const auto messages = m_messages.Take();
    EXPECT_EQ(Count(messages, "D token size is 0"), 1);
    EXPECT_EQ(messages.back(), "W CGetToken - read failed");

    EXPECT_FALSE(store.saveJson());
    EXPECT_EQ(ReadFile(m_tokenFile), empty);
}

TEST_F(TokenStore, WaitsWhileAnotherProcessHoldsTheLock)
{
    WriteFile(m_tokenFile, TokenFile(R"({ "Name": "PORT", "Descr": "", "Type": 2, "Value": "31202" })"));
    CGetToken store;
    m_messages.Take();

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        platform::CTokenLock lock;
        const char locked = lock.Open("c:\\temp\\token.lck") && lock.TryLock() ? 'L' : 'F';
        (void)!::write(ready[1], &locked, 1);
        ::usleep(500 * 1000);
        ::_exit(0);  // ending the process closes the file and so releases the lock
    }
    ::close(ready[1]);
    char locked = 0;
    ASSERT_EQ(::read(ready[0], &locked, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(locked, 'L');

    EXPECT_EQ(store.getTokValueInt("PORT"), 31202);
    const auto messages = m_messages.Take();
    EXPECT_GE(Count(messages, "D File lock failed. Sleep some"), 1);
    EXPECT_EQ(Count(messages, "D CGetToken - read OK"), 1);
    int status = 0;
    ::waitpid(holder, &status, 0);
}

TEST_F(TokenStore, GivesUpAfterAHundredAttempts)
{
    WriteFile(m_tokenFile, TokenFile(R"({ "Name": "DIR", "Descr": "", "Type": 3, "Value": "x" })"));
    CGetToken store;
    m_messages.Take();

    platform::CTokenLock held;  // another handle in this process excludes the store as well
    ASSERT_TRUE(held.Open("c:\\temp\\token.lck"));
    ASSERT_TRUE(held.TryLock());
    EXPECT_EQ(store.getTokValueStr("DIR"), "");
    const auto messages = m_messages.Take();
    EXPECT_EQ(Count(messages, "D File lock failed. Sleep some"), 100);
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], "W File lock failed. Giving up after 100 tries");
    EXPECT_EQ(messages.back(), "W CGetToken - read failed");

    held.Close();
    EXPECT_EQ(store.getTokValueStr("DIR"), "x");
}

TEST_F(TokenStore, LookupsFromSeveralThreadsAreSerialised)
{
    WriteFile(m_tokenFile, TokenFile(R"(
        { "Name": "A", "Descr": "", "Type": 2, "Value": "1" },
        { "Name": "B", "Descr": "", "Type": 2, "Value": "2" },
        { "Name": "C", "Descr": "", "Type": 3, "Value": "three" })"));
    CGetToken store;
    std::atomic<int> wrong { 0 };
    std::vector<std::thread> threads;
    for (const std::string name : { "A", "B", "A", "B" }) {
        threads.emplace_back([&store, &wrong, name] {
            for (int i = 0; i < 25; ++i) {
                wrong += store.getTokValueInt(name) != (name == "A" ? 1 : 2) || store.getTokValueStr("C") != "three";
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(MissingTokenLines(), "");
}

// A token file that is there but cannot be opened is another process's file:
// the lookup fails and says so, and the file is not made again over it.
TEST_F(TokenStore, AFileThatCannotBeOpenedIsLeftAsItIs)
{
    CreateDatabase(R"(
        insert into token_value values ('PORT', 20, 0);
        insert into integer_values values (20, 7);
    )");
    WriteFile(m_tokenFile, TokenFile(R"({ "Name": "PORT", "Descr": "", "Type": 2, "Value": "1" })"));
    const std::string before = ReadFile(m_tokenFile);
    CGetToken store;
    ASSERT_EQ(::chmod(m_tokenFile.c_str(), 0), 0);
    m_messages.Take();
    {
        const WithoutPermissionOverride asAnyUser;
        EXPECT_EQ(store.getTokValueInt("PORT"), 0);
    }
    const auto messages = m_messages.Take();
    EXPECT_EQ(Count(messages, "W Couldn't open file."), 1);
    EXPECT_EQ(Count(messages, "W CGetToken - token file made again from the token database"), 0);
    EXPECT_EQ(fs::status(m_tokenFile).permissions(), fs::perms::none);
    ASSERT_EQ(::chmod(m_tokenFile.c_str(), 0644), 0);
    EXPECT_EQ(ReadFile(m_tokenFile), before);
    EXPECT_EQ(store.getTokValueInt("PORT"), 1);
}

// A save cut short by a crash can leave a temporary file longer than the next
// save writes: the save writes it over from the start, and the token file
// holds the new content and nothing of the old one's tail.
TEST_F(TokenStore, ASaveOverALongerLeftoverTemporaryFileLeavesAReadableFile)
{
    WriteFile(m_tokenFile, TokenFile(R"({ "Name": "PORT", "Descr": "", "Type": 2, "Value": "31102" })"));
    WriteFile(m_configFolder / "TRXTokens.json.tmp", TokenFile(std::string(4096, ' ')) + "left over");
    CGetToken store;
    ASSERT_TRUE(store.saveJson());
    EXPECT_FALSE(fs::exists(m_configFolder / "TRXTokens.json.tmp"));
    EXPECT_EQ(ReadFile(m_tokenFile).find("left over"), std::string::npos);
    EXPECT_EQ(store.getTokValueInt("PORT"), 31102);
    EXPECT_EQ(CGetToken().getTokValueInt("PORT"), 31102) << "another process reads it as well";
    EXPECT_FALSE(fs::exists(m_configFolder / "TRXTokens.json.bad"));
}
