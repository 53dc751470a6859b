#include "platform/LogFolder.h"

#include "platform/Paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace platform {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// One name of a path, and whether it is a Windows name (matched in any case).
struct PathName {
    std::string_view text;
    bool anyCase;
};

// Appends the names of `text` to `names`, applying "." and ".." as it goes: a
// ".." takes back the name before it; at the top of an absolute path it stays
// at the top, at the top of a relative one it is kept (it leads above the
// working directory). One pass: each name is pushed and taken back at most once.
void AddNames(std::vector<PathName>& names, std::string_view text, bool anyCase, bool absolute)
{
    while (!text.empty()) {
        std::size_t end = 0;
        while (end < text.size() && !IsSeparator(text[end])) {
            ++end;
        }
        const std::string_view name = text.substr(0, end);
        text.remove_prefix(end < text.size() ? end + 1 : end);
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            if (!names.empty() && names.back().text != "..") {
                names.pop_back();
                continue;
            }
            if (absolute) {
                continue;
            }
        }
        names.push_back({ name, anyCase });
    }
}

int OpenBeneath(int folder, const char* name, int flags, mode_t mode)
{
    open_how how {};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    // EAGAIN: the kernel saw a rename race while following a link's ".." and
    // could not vouch for the result; asking again is the documented answer.
    for (int attempt = 0;; ++attempt) {
        const long fd = ::syscall(SYS_openat2, folder, name, &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN || attempt == 8) {
            return static_cast<int>(fd);
        }
    }
}

// Opens `name` in `folder`: beneath it only (openat2) when confined, else as
// openat does. -1 with errno on failure.
int OpenIn(int folder, const char* name, int flags, mode_t mode, bool confined)
{
    return confined ? OpenBeneath(folder, name, flags, mode) : ::openat(folder, name, flags | O_CLOEXEC, mode);
}

// The entry of `folder` whose name equals `name` ignoring letter case, when
// `name` itself does not exist; else `name`.
std::string CaseMatched(int folder, std::string name)
{
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
        return name;
    }
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        return name;
    }
    DIR* dir = ::fdopendir(listing);
    if (dir == nullptr) {
        ::close(listing);
        return name;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
            name = entry->d_name;
            break;
        }
    }
    ::closedir(dir);  // closes `listing`
    return name;
}

// Opens the folder `name` in `folder`, made first when missing and `create`.
int StepInto(int folder, const std::string& name, bool confined, bool create)
{
    int fd = OpenIn(folder, name.c_str(), O_PATH | O_DIRECTORY, 0, confined);
    if (fd < 0 && errno == ENOENT && create) {
        // mkdirat never follows a link of that name; whatever is there after
        // it (ours, or something put in its place) is opened as above.
        if (::mkdirat(folder, name.c_str(), 0777) != 0 && errno != EEXIST) {
            return -1;
        }
        fd = OpenIn(folder, name.c_str(), O_PATH | O_DIRECTORY, 0, confined);
    }
    return fd;
}

struct LogRoot {
    std::string text;
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
};

// The folders of QHV_LOG_ROOTS (colon-separated), with the identity of those
// that exist.
std::vector<LogRoot> LogRoots()
{
    std::vector<LogRoot> roots;
    const char* list = std::getenv("QHV_LOG_ROOTS");
    for (std::string_view rest = list != nullptr ? list : ""; !rest.empty();) {
        const std::size_t end = std::min(rest.find(':'), rest.size());
        if (end > 0) {
            LogRoot root;
            root.text = std::string(rest.substr(0, end));
            struct stat info {};
            if (::stat(root.text.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
                root.exists = true;
                root.device = info.st_dev;
                root.inode = info.st_ino;
            }
            roots.push_back(std::move(root));
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return roots;
}

bool IsRoot(int folder, const std::vector<LogRoot>& roots)
{
    struct stat info {};
    if (::fstat(folder, &info) != 0) {
        return false;
    }
    for (const LogRoot& root : roots) {
        if (root.exists && root.device == info.st_dev && root.inode == info.st_ino) {
            return true;
        }
    }
    return false;
}

// The names of an absolute path in their final form ("." and ".." applied);
// a relative one is taken from the working directory.
std::vector<PathName> AbsoluteNames(std::string_view text, std::string& cwdHolder)
{
    std::vector<PathName> names;
    if (text.empty() || text.front() != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) {
            return names;
        }
        cwdHolder = cwd;
        AddNames(names, cwdHolder, false, true);
    }
    AddNames(names, text, false, true);
    return names;
}

bool SameName(const PathName& given, std::string_view root)
{
    if (given.text.size() != root.size()) {
        return false;
    }
    return given.anyCase ? ::strncasecmp(given.text.data(), root.data(), root.size()) == 0 : given.text == root;
}

}  // namespace

CFileDescriptor& CFileDescriptor::operator=(CFileDescriptor&& other) noexcept
{
    if (this != &other) {
        Reset(other.m_fd);
        other.m_fd = -1;
    }
    return *this;
}

int CFileDescriptor::Reset(int fd)
{
    int error = 0;
    if (m_fd >= 0 && ::close(m_fd) != 0) {
        error = errno;
    }
    m_fd = fd;
    return error;
}

CLogFolder& CLogFolder::Refuse(int error, std::string why)
{
    m_folder.Reset();
    m_error = error;
    m_refusal = std::move(why);
    return *this;
}

CLogFolder CLogFolder::Open(std::string_view path, bool createFolders)
{
    CLogFolder result;
    for (std::size_t at = 0; at < path.size(); ++at) {
        const auto byte = static_cast<unsigned char>(path[at]);
        if (byte < 0x20 || byte == 0x7F) {
            char why[64];
            std::snprintf(why, sizeof why, "control byte 0x%02X at offset %zu", byte, at);
            return std::move(result.Refuse(EINVAL, why));
        }
    }
    const DriveMapping mapped = MapDrive(path);
    if (mapped.folder.size() + mapped.rest.size() >= PATH_MAX) {
        return std::move(result.Refuse(ENAMETOOLONG, "longer than " + std::to_string(PATH_MAX - 1) + " bytes"));
    }

    // The file's name is the text after the last separator; what comes before
    // names the folder.
    std::size_t nameStart = mapped.rest.size();
    while (nameStart > 0 && !IsSeparator(mapped.rest[nameStart - 1])) {
        --nameStart;
    }
    const std::string_view name = mapped.rest.substr(nameStart);
    if (name.empty() || name == "." || name == "..") {
        return std::move(result.Refuse(EISDIR, std::string()));
    }
    const bool absolute = mapped.anyCase || (!mapped.rest.empty() && mapped.rest.front() == '/');
    std::vector<PathName> names;
    AddNames(names, mapped.folder, false, true);
    AddNames(names, mapped.rest.substr(0, nameStart), mapped.anyCase, absolute);

    CFileDescriptor folder(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsOpen()) {
        return std::move(result.Refuse(errno, std::string()));
    }
    // The names still to walk: all of them, or those past the root.
    const std::vector<PathName>* walk = &names;
    std::size_t next = 0;
    std::string cwd;  // holds the text of the names of a relative path made absolute
    std::vector<PathName> absoluteNames;
    const std::vector<LogRoot> roots = LogRoots();
    if (!roots.empty()) {
        // Up to the first root, links are followed and nothing is made.
        while (!IsRoot(folder.Get(), roots) && next < names.size()) {
            std::string level(names[next].text);
            if (names[next].anyCase) {
                level = CaseMatched(folder.Get(), std::move(level));
            }
            const int fd = StepInto(folder.Get(), level, false, false);
            if (fd < 0) {
                break;
            }
            folder.Reset(fd);
            ++next;
        }
        if (!IsRoot(folder.Get(), roots)) {
            // A root not made yet, which the path names, is made from its own text.
            folder.Reset();
            if (!absolute) {
                absoluteNames = AbsoluteNames(mapped.rest.substr(0, nameStart), cwd);
                walk = &absoluteNames;
            }
            for (const LogRoot& root : roots) {
                std::string rootCwd;
                const std::vector<PathName> rootNames = root.exists ? std::vector<PathName>() : AbsoluteNames(root.text, rootCwd);
                bool named = !rootNames.empty() && rootNames.size() <= walk->size();
                for (std::size_t i = 0; named && i < rootNames.size(); ++i) {
                    named = SameName((*walk)[i], rootNames[i].text);
                }
                if (!named) {
                    continue;
                }
                if (!createFolders) {
                    return std::move(result.Refuse(ENOENT, std::string()));  // nothing in it yet
                }
                std::string made;
                for (const PathName& level : rootNames) {
                    made += "/" + std::string(level.text);
                    ::mkdir(made.c_str(), 0777);  // a failure shows when the root is opened
                }
                folder.Reset(::open(root.text.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
                next = rootNames.size();
                break;
            }
            if (!folder.IsOpen()) {
                return std::move(result.Refuse(EACCES, "not beneath any folder of QHV_LOG_ROOTS"));
            }
        }
        result.m_confined = true;
        // Without openat2 nothing beneath the root can be opened safely.
        const int probe = OpenBeneath(folder.Get(), ".", O_PATH | O_DIRECTORY, 0);
        if (probe < 0 && errno == ENOSYS) {
            return std::move(result.Refuse(
                ENOSYS, "openat2 is missing (Linux 5.6 or later is needed), so QHV_LOG_ROOTS cannot be kept"));
        }
        if (probe >= 0) {
            ::close(probe);
        }
    }

    for (; next < walk->size(); ++next) {
        const PathName& given = (*walk)[next];
        std::string level(given.text);
        if (given.anyCase) {
            level = CaseMatched(folder.Get(), std::move(level));
        }
        const int fd = StepInto(folder.Get(), level, result.m_confined, createFolders);
        if (fd < 0) {
            const int error = errno;
            return std::move(result.Refuse(error, error == EXDEV ? "a link in it leads out of its log root" : ""));
        }
        folder.Reset(fd);
    }
    result.m_name = std::string(name);
    if (mapped.anyCase) {
        result.m_name = CaseMatched(folder.Get(), std::move(result.m_name));
    }
    result.m_folder = std::move(folder);
    return result;
}

bool CLogFolder::HoldsFile() const
{
    struct stat info {};
    return m_folder.IsOpen() && ::fstatat(m_folder.Get(), m_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           !S_ISDIR(info.st_mode);
}

int CLogFolder::CreateFile(CFileDescriptor& file) const
{
    if (!m_folder.IsOpen()) {
        return m_error != 0 ? m_error : EBADF;
    }
    const int fd = OpenIn(m_folder.Get(), m_name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666, m_confined);
    if (fd < 0) {
        return errno;
    }
    file.Reset(fd);
    return 0;
}

int CLogFolder::RenameNoReplace(const std::string& from, const std::string& to) const
{
    if (!m_folder.IsOpen()) {
        return m_error != 0 ? m_error : EBADF;
    }
    // Both names lie in the folder: neither a link nor ".." can be in the way
    // as long as neither holds a separator.
    if (from.find('/') != std::string::npos || to.find('/') != std::string::npos) {
        return EINVAL;
    }
    const int folder = m_folder.Get();
    if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL) {
        return errno;
    }
    // A file system that cannot rename without replacing: a hard link under
    // the new name (which fails on an existing one) and the old name removed.
    if (::linkat(folder, from.c_str(), folder, to.c_str(), 0) != 0) {
        return errno;
    }
    return ::unlinkat(folder, from.c_str(), 0) == 0 ? 0 : errno;
}

}  // namespace platform
