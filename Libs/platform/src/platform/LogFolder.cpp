#include "platform/LogFolder.h"

#include "platform/Paths.h"

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
#include <cstring>
#include <cstdlib>
#include <vector>

namespace platform {

namespace {


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
        while (end < text.size() && !IsPathSeparator(text[end])) {
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

// Where openat2 cannot be had (a kernel before 5.6, or a system-call filter
// that answers it with ENOSYS, as systemd's RestrictSUIDSGID= does): one name
// of the folder, never "..", and no link followed, so the result lies beneath
// `folder` as well. Links below a root are then refused (ELOOP), even those
// that would stay beneath it.
int OpenOneLevel(int folder, const char* name, int flags, mode_t mode)
{
    if (std::strchr(name, '/') != nullptr || std::strcmp(name, "..") == 0) {
        errno = EXDEV;
        return -1;
    }
    const int fd = ::openat(folder, name, flags | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        // A link met where a folder was asked for fails as "not a folder": say it was a link.
        struct stat info {};
        if ((errno == ENOTDIR || errno == ELOOP) && ::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(info.st_mode)) {
            errno = ELOOP;
        }
        return -1;
    }
    if ((flags & O_PATH) == 0) {
        return fd;
    }
    // With O_PATH, O_NOFOLLOW opens a link itself instead of failing.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISLNK(info.st_mode) || ((flags & O_DIRECTORY) != 0 && !S_ISDIR(info.st_mode))) {
        const int error = S_ISLNK(info.st_mode) ? ELOOP : ENOTDIR;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
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
        if (fd < 0 && errno == ENOSYS) {
            return OpenOneLevel(folder, name, flags, mode);
        }
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

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Identity& other) const { return device == other.device && inode == other.inode; }
};

bool IdentityOf(int fd, Identity& identity)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    identity = { info.st_dev, info.st_ino };
    return true;
}

// A folder of QHV_LOG_ROOTS: the folder itself when it exists; else the
// nearest folder above it that exists and the names from there down.
struct LogRoot {
    bool exists = false;
    Identity folder;
    std::vector<std::string> missing;
};

// The names of a path in their final form ("." and ".." applied); a relative
// one is taken from the working directory.
std::vector<std::string> AbsoluteNames(const std::string& text)
{
    std::vector<PathName> names;
    std::string cwd;
    if (text.empty() || text.front() != '/') {
        char folder[PATH_MAX];
        if (::getcwd(folder, sizeof folder) != nullptr) {
            cwd = folder;
        }
        AddNames(names, cwd, false, true);
    }
    AddNames(names, text, false, true);
    std::vector<std::string> plain;
    for (const PathName& name : names) {
        plain.emplace_back(name.text);
    }
    return plain;
}

LogRoot RootOf(const std::string& text)
{
    LogRoot root;
    struct stat info {};
    if (::stat(text.c_str(), &info) == 0) {
        root.exists = S_ISDIR(info.st_mode);
        root.folder = { info.st_dev, info.st_ino };
        return root;  // a root that is not a folder is never met
    }
    const std::vector<std::string> names = AbsoluteNames(text);
    for (std::size_t count = names.size(); count-- > 0;) {
        std::string above;
        for (std::size_t i = 0; i < count; ++i) {
            above += "/" + names[i];
        }
        if (::stat(above.empty() ? "/" : above.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            root.folder = { info.st_dev, info.st_ino };
            root.missing.assign(names.begin() + static_cast<std::ptrdiff_t>(count), names.end());
            break;
        }
    }
    return root;
}

// The folders of QHV_LOG_ROOTS, colon-separated.
std::vector<LogRoot> LogRoots()
{
    std::vector<LogRoot> roots;
    const char* list = std::getenv("QHV_LOG_ROOTS");
    for (std::string_view rest = list != nullptr ? list : ""; !rest.empty();) {
        const std::size_t end = std::min(rest.find(':'), rest.size());
        if (end > 0) {
            roots.push_back(RootOf(std::string(rest.substr(0, end))));
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return roots;
}

// True when a root missing from `roots` exists now.
bool RootsMadeSince(const std::vector<LogRoot>& roots)
{
    const std::vector<LogRoot> now = LogRoots();
    for (std::size_t i = 0; i < roots.size() && i < now.size(); ++i) {
        if (!roots[i].exists && now[i].exists) {
            return true;
        }
    }
    return false;
}

bool IsRoot(const Identity& folder, const std::vector<LogRoot>& roots)
{
    for (const LogRoot& root : roots) {
        if (root.exists && root.folder == folder) {
            return true;
        }
    }
    return false;
}

bool SameName(const PathName& given, const std::string& name)
{
    if (given.text.size() != name.size()) {
        return false;
    }
    return given.anyCase ? ::strncasecmp(given.text.data(), name.data(), name.size()) == 0 : given.text == name;
}

// A root not made yet that the names from `next` on name, starting in
// `folder`; nullptr when there is none.
const LogRoot* MissingRootNamed(const Identity& folder, const std::vector<PathName>& names, std::size_t next,
                                const std::vector<LogRoot>& roots)
{
    for (const LogRoot& root : roots) {
        if (root.exists || root.missing.empty() || !(root.folder == folder) ||
            names.size() - next < root.missing.size()) {
            continue;
        }
        bool named = true;
        for (std::size_t i = 0; named && i < root.missing.size(); ++i) {
            named = SameName(names[next + i], root.missing[i]);
        }
        if (named) {
            return &root;
        }
    }
    return nullptr;
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
    while (nameStart > 0 && !IsPathSeparator(mapped.rest[nameStart - 1])) {
        --nameStart;
    }
    const std::string_view name = mapped.rest.substr(nameStart);
    if (name.empty() || name == "." || name == "..") {
        return std::move(result.Refuse(EISDIR, std::string()));
    }
    // A drive maps under the drive root, which is absolute unless set otherwise.
    const std::string_view start = mapped.anyCase ? std::string_view(mapped.folder) : mapped.rest;
    const bool absolute = !start.empty() && start.front() == '/';
    std::vector<PathName> names;
    AddNames(names, mapped.folder, false, absolute);
    AddNames(names, mapped.rest.substr(0, nameStart), mapped.anyCase, absolute);

    CFileDescriptor folder(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsOpen()) {
        return std::move(result.Refuse(errno, std::string()));
    }
    std::size_t next = 0;
    const std::vector<LogRoot> roots = LogRoots();
    if (!roots.empty()) {
        // Up to the first root links are followed and nothing is made but a
        // root itself, from its own names, where the path names it.
        for (;;) {
            Identity identity;
            if (!IdentityOf(folder.Get(), identity)) {
                break;
            }
            if (IsRoot(identity, roots)) {
                result.m_confined = true;
                break;
            }
            if (next == names.size()) {
                break;
            }
            std::string level(names[next].text);
            if (names[next].anyCase) {
                level = CaseMatchedName(folder.Get(), std::move(level));
            }
            int fd = StepInto(folder.Get(), level, false, false);
            if (fd >= 0) {
                folder.Reset(fd);
                ++next;
                continue;
            }
            const LogRoot* missing = errno == ENOENT ? MissingRootNamed(identity, names, next, roots) : nullptr;
            if (missing == nullptr) {
                break;
            }
            if (!createFolders) {
                return std::move(result.Refuse(ENOENT, std::string()));  // nothing in it yet
            }
            for (const std::string& rootLevel : missing->missing) {
                fd = StepInto(folder.Get(), rootLevel, true, true);  // a link put there meanwhile is not the root
                if (fd < 0) {
                    return std::move(result.Refuse(errno, std::string()));
                }
                folder.Reset(fd);
                ++next;
            }
            result.m_confined = true;
            break;
        }
        if (!result.m_confined) {
            // A root that was missing may have been made meanwhile (by the
            // other logger, say): then the walk is made again with it.
            if (RootsMadeSince(roots)) {
                return Open(path, createFolders);
            }
            return std::move(result.Refuse(EACCES, "not beneath any folder of QHV_LOG_ROOTS"));
        }
    }

    for (; next < names.size(); ++next) {
        const PathName& given = names[next];
        std::string level(given.text);
        if (given.anyCase) {
            level = CaseMatchedName(folder.Get(), std::move(level));
        }
        const int fd = StepInto(folder.Get(), level, result.m_confined, createFolders);
        if (fd < 0) {
            const int error = errno;
            return std::move(result.Refuse(error, error == EXDEV   ? "a link in it leads out of its log root"
                                                  : error == ELOOP ? "a link in it is not followed without openat2"
                                                                   : ""));
        }
        folder.Reset(fd);
    }
    result.m_name = std::string(name);
    if (mapped.anyCase) {
        result.m_name = CaseMatchedName(folder.Get(), std::move(result.m_name));
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
