// Log paths as a hostile sender writes them, against real folders: a log root
// under a temporary drive root beside a system-database folder, and a check
// that nothing outside the root was made, changed or moved.
#include "platform/LogFolder.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

#include <cerrno>
#include <atomic>
#include <climits>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using platform::CFileDescriptor;
using platform::CLogFolder;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

class LogFolder : public ::testing::Test {
protected:
    // Everything outside the root, links not followed.
    std::set<std::string> Outside() const
    {
        std::set<std::string> entries;
        for (auto it = fs::recursive_directory_iterator(m_dir.path()); it != fs::recursive_directory_iterator(); ++it) {
            if (it->path() == m_root) {
                it.disable_recursion_pending();
                continue;
            }
            entries.insert(it->path().string());
        }
        return entries;
    }

    // Opens the folder of `path` (folders made) and creates the file with
    // `content`; 0 or the error number.
    static int Create(const std::string& path, const std::string& content = "x")
    {
        const CLogFolder folder = CLogFolder::Open(path, true);
        CFileDescriptor file;
        const int error = folder.Error() != 0 ? folder.Error() : folder.CreateFile(file);
        if (error == 0 && ::write(file.Get(), content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
            return EIO;
        }
        return error;
    }

    TempDir m_dir;
    fs::path m_drive = m_dir.path() / "drive";
    fs::path m_root = m_drive / "c" / "survey";
    fs::path m_database = m_drive / "c" / "ProgramData" / "Valdrena Marine" / "ntrx";
    ScopedEnv m_drives { "QHV_DRIVE_ROOT", m_drive.string() };
    ScopedEnv m_roots { "QHV_LOG_ROOTS", m_root.string() };
    bool m_made = [this] {
        fs::create_directories(m_database);
        WriteFile(m_database / "ntrx.db", "database");
        fs::create_directories(m_dir.path() / "outside");
        return true;
    }();
};

}  // namespace

// ".." is applied to the text before anything is opened or made: over folders
// that do not exist it neither makes them nor leaves the root unnoticed.
TEST_F(LogFolder, DotDotOverMissingFoldersMakesNothingOutsideTheRoot)
{
    const std::set<std::string> before = Outside();
    const CLogFolder toDatabase =
        CLogFolder::Open("C:\\survey\\new\\..\\..\\ProgramData\\Valdrena Marine\\ntrx\\ntrx.db-journal\\x.qhv", true);
    EXPECT_EQ(toDatabase.Error(), EACCES);
    EXPECT_EQ(toDatabase.Refusal(), "not beneath any folder of QHV_LOG_ROOTS");

    // Out to the database folder and back: only the root itself is named.
    EXPECT_EQ(Create("C:\\survey\\..\\ProgramData\\Valdrena Marine\\ntrx\\ntrx.db-journal\\..\\..\\..\\..\\survey\\"
                     "back.qhv"), 0);
    EXPECT_EQ(ReadFile(m_root / "back.qhv"), "x");
    // The template may climb as well.
    EXPECT_EQ(Create("C:\\survey\\..\\ProgramData\\x.qhv"), EACCES);
    EXPECT_EQ(Create("C:\\survey\\run\\..\\..\\..\\..\\..\\..\\..\\..\\..\\x.qhv"), EACCES);

    EXPECT_EQ(Outside(), before);
    EXPECT_FALSE(fs::exists(m_root / "new"));
    EXPECT_FALSE(fs::exists(m_database / "ntrx.db-journal"));
}

// A control byte is refused wherever it is, before the text is used: the
// system calls would see a NUL as the end of the path.
TEST_F(LogFolder, ControlBytesAndOverlongPathsAreRefusedBeforeAnythingIsMade)
{
    const std::set<std::string> before = Outside();
    const std::string nul = std::string("C:\\survey\\..\\ProgramData\\Valdrena Marine\\ntrx\\ntrx.db-journal") + '\0' +
                            "\\..\\..\\..\\..\\survey\\x.qhv";
    const CLogFolder withNul = CLogFolder::Open(nul, true);
    EXPECT_EQ(withNul.Error(), EINVAL);
    EXPECT_EQ(withNul.Refusal(), "control byte 0x00 at offset 61");
    EXPECT_EQ(CLogFolder::Open("C:\\survey\\a\x7F\\x.qhv", true).Refusal(), "control byte 0x7F at offset 11");
    EXPECT_EQ(CLogFolder::Open("C:\\survey\\x\n.qhv", true).Refusal(), "control byte 0x0A at offset 11");
    EXPECT_EQ(Create("C:\\survey\\\x80\xFF.qhv"), 0) << "bytes above 0x7F belong to names";

    // The native path must fit a system call: the drive root counts.
    // "C:" becomes "<drive root>/c": the text is as long as the native path
    // less the drive root's length.
    const std::string fits = "C:\\survey\\" + std::string(PATH_MAX - 1 - m_drive.string().size() - 14, 'a') + ".qhv";
    EXPECT_EQ(CLogFolder::Open(fits, true).Refusal(), "") << "one byte short of PATH_MAX";
    const CLogFolder overlong = CLogFolder::Open("C:\\survey\\a" + fits.substr(10), true);
    EXPECT_EQ(overlong.Error(), ENAMETOOLONG);
    EXPECT_EQ(overlong.Refusal(), "longer than " + std::to_string(PATH_MAX - 1) + " bytes");

    // Without log roots the same texts are refused all the same.
    ScopedEnv none("QHV_LOG_ROOTS", std::nullopt);
    EXPECT_EQ(CLogFolder::Open(nul, true).Error(), EINVAL);
    EXPECT_EQ(CLogFolder::Open("C:\\survey\\a" + fits.substr(10), true).Error(), ENAMETOOLONG);
    EXPECT_EQ(Outside(), before);
    EXPECT_FALSE(fs::exists(m_root / "a"));
}

// Links inside the root: followed only where they stay beneath their folder;
// a folder swapped for a link after it was opened changes nothing.
TEST_F(LogFolder, LinksAndFoldersSwappedForLinksLeadNowhereOutside)
{
    const fs::path outside = m_dir.path() / "outside";
    fs::create_directories(m_root / "sub");
    fs::create_directory_symlink(outside, m_root / "absolute");
    fs::create_directory_symlink("../../../outside", m_root / "relative");
    fs::create_directory_symlink("sub", m_root / "inner");
    fs::create_symlink(outside / "made.qhv", m_root / "dangling.qhv");
    const std::set<std::string> before = Outside();

    for (const char* path : { "C:\\survey\\absolute\\x.qhv", "C:\\survey\\relative\\x.qhv",
                              "C:\\survey\\absolute\\new\\x.qhv" }) {
        const CLogFolder folder = CLogFolder::Open(path, true);
        EXPECT_EQ(folder.Error(), EXDEV) << path;
        EXPECT_EQ(folder.Refusal(), "a link in it leads out of its log root") << path;
    }
    EXPECT_EQ(Create("C:\\survey\\inner\\x.qhv"), 0);
    EXPECT_EQ(ReadFile(m_root / "sub" / "x.qhv"), "x");
    // A link where the file goes is never written through.
    const CLogFolder dangling = CLogFolder::Open("C:\\survey\\dangling.qhv", true);
    EXPECT_TRUE(dangling.HoldsFile());
    CFileDescriptor file;
    EXPECT_EQ(dangling.CreateFile(file), EEXIST);

    // The folder is looked at and opened; then it is moved away and a link to
    // the outside put in its place. The file still goes where the folder went.
    fs::create_directories(m_root / "run");
    const CLogFolder run = CLogFolder::Open("C:\\survey\\run\\heave.qhv", true);
    ASSERT_EQ(run.Error(), 0);
    fs::rename(m_root / "run", m_root / "run.moved");
    fs::create_directory_symlink(outside, m_root / "run");
    ASSERT_EQ(run.CreateFile(file), 0);
    EXPECT_EQ(::write(file.Get(), "y", 1), 1);
    EXPECT_EQ(ReadFile(m_root / "run.moved" / "heave.qhv"), "y");
    // Opened again now, the swapped link is refused.
    EXPECT_EQ(CLogFolder::Open("C:\\survey\\run\\heave.qhv", true).Error(), EXDEV);

    EXPECT_EQ(Outside(), before);
    EXPECT_TRUE(fs::is_empty(outside));
}

// Each name is looked at once: 600 rounds of "a\..\" cost 600 steps of the
// text and no folder, and the result is the root itself.
TEST_F(LogFolder, ALongRunOfDotDotResolvesToWhereItLeads)
{
    std::string path = "C:\\survey\\";
    for (int i = 0; i < 600; ++i) {
        path += "a\\..\\";
    }
    const CLogFolder folder = CLogFolder::Open(path + "heave.qhv", true);
    ASSERT_EQ(folder.Error(), 0);
    EXPECT_EQ(folder.Name(), "heave.qhv");
    EXPECT_EQ(fs::read_symlink("/proc/self/fd/" + std::to_string(folder.Descriptor())), m_root);
    EXPECT_FALSE(fs::exists(m_root / "a"));
}

// A root is found by what it is, not how it is spelt; one not made yet is made
// when a path names it; Windows names match in any letter case.
TEST_F(LogFolder, RootsAreFoundThroughLinksAndMadeWhenNamed)
{
    const fs::path alias = m_dir.path() / "alias";
    fs::create_directories(m_drive / "c");
    fs::create_directory_symlink(m_drive / "c", alias);
    ScopedEnv roots("QHV_LOG_ROOTS", ":" + (alias / "survey").string() + ":" + (m_dir.path() / "data").string());
    EXPECT_EQ(Create("C:\\Survey\\Run\\x.qhv"), 0) << "the root not made yet, named in another case";
    EXPECT_EQ(Create("c:\\SURVEY\\run\\X.QHV", "again"), EEXIST) << "one folder, one file";
    EXPECT_EQ(ReadFile(m_root / "Run" / "x.qhv"), "x");
    EXPECT_EQ(Create(m_dir.str() + "/data/heave.qhv"), 0);
    EXPECT_EQ(Create(alias.string() + "/survey/y.qhv"), 0);
    EXPECT_EQ(Create(m_dir.str() + "/datafile/heave.qhv"), EACCES) << "a name that starts alike";
    EXPECT_FALSE(fs::exists(m_dir.path() / "datafile"));

    // Without log roots any folder goes, links followed as usual.
    ScopedEnv none("QHV_LOG_ROOTS", "");
    EXPECT_EQ(Create(alias.string() + "/elsewhere/z.qhv"), 0);
    EXPECT_TRUE(fs::exists(m_drive / "c" / "elsewhere" / "z.qhv"));
}

// On a kernel without openat2 a path beneath a root is refused, never opened
// by the calls that would follow links. A child process stands in for such a
// kernel: a seccomp filter answers openat2 with ENOSYS.
// Where openat2 answers ENOSYS (an old kernel, or systemd's RestrictSUIDSGID=),
// confined paths are still opened beneath their root, one name at a time, and
// no link is followed there, not even one that would stay inside.
TEST_F(LogFolder, WithoutOpenat2ConfinedPathsAreOpenedWithoutFollowingLinks)
{
    const fs::path outside = m_dir.path() / "outside";
    fs::create_directories(m_root / "sub");
    fs::create_directory_symlink(outside, m_root / "absolute");
    fs::create_directory_symlink("sub", m_root / "inner");
    const std::set<std::string> before = Outside();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sock_filter program[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog filter { sizeof program / sizeof program[0], program };
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
            ::_exit(2);
        }
        int failures = 0;
        CFileDescriptor file;
        const CLogFolder run = CLogFolder::Open("C:\\survey\\run\\x.qhv", true);
        failures += run.Error() != 0 || run.CreateFile(file) != 0 || !fs::exists(m_root / "run" / "x.qhv");
        const CLogFolder out = CLogFolder::Open("C:\\survey\\absolute\\x.qhv", true);
        failures += out.Error() != ELOOP || out.Refusal() != "a link in it is not followed without openat2";
        failures += CLogFolder::Open("C:\\survey\\inner\\x.qhv", true).Error() != ELOOP;
        ::_exit(failures == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Outside(), before);
    EXPECT_TRUE(fs::is_empty(outside));
}

// Both loggers make their first folders under a root not made yet at the same
// time: whichever makes the root, the other one's path is still beneath it.
TEST_F(LogFolder, TwoWritersMakingTheRootAtOnceAreBothServed)
{
    for (int round = 0; round < 200; ++round) {
        fs::remove_all(m_root);
        std::atomic<bool> go { false };
        int errors[2] = { -1, -1 };
        std::thread writers[2];
        for (int i = 0; i < 2; ++i) {
            writers[i] = std::thread([&, i] {
                while (!go) {
                }
                errors[i] = CLogFolder::Open(i == 0 ? "C:\\survey\\qhv\\h.qhv" : "C:\\survey\\p2x\\p.p2x", true).Error();
            });
        }
        go = true;
        writers[0].join();
        writers[1].join();
        ASSERT_EQ(errors[0], 0) << "round " << round;
        ASSERT_EQ(errors[1], 0) << "round " << round;
    }
}
