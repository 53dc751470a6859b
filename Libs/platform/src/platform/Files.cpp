#include "platform/Files.h"

#include "platform/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace platform {

namespace {

int CopyContent(int fromFd, int toFd)
{
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = ::read(fromFd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        if (const int error = WriteAll(toFd, buffer.data(), static_cast<std::size_t>(got))) {
            return error;
        }
    }
}

// The move across volumes: copy into `to`, opened with `createFlags` (O_TRUNC
// to replace, O_EXCL to never replace), then remove `from`. A copy that fails
// half-way is removed again; the original stays in place.
int CopyThenRemove(const std::string& from, const std::string& to, int createFlags)
{
    const int fromFd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (fromFd < 0) {
        return errno;
    }
    struct stat info {};
    if (::fstat(fromFd, &info) != 0) {
        const int error = errno;
        ::close(fromFd);
        return error;
    }
    const int toFd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | createFlags, info.st_mode & 07777);
    if (toFd < 0) {
        const int error = errno;
        ::close(fromFd);
        return error;
    }
    int error = CopyContent(fromFd, toFd);
    ::close(fromFd);
    if (::close(toFd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(to.c_str());
        return error;
    }
    return ::unlink(from.c_str()) == 0 ? 0 : errno;
}

// The folder of a native path, "." for a bare name.
std::string DirectoryOf(const std::string& native)
{
    const std::size_t slash = native.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : native.substr(0, slash);
}

}  // namespace

int WriteAll(int fd, const char* data, std::size_t size)
{
    std::size_t written = 0;
    return WriteAll(fd, data, size, written);
}

int WriteAll(int fd, const char* data, std::size_t size, std::size_t& written)
{
    written = 0;
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (done == 0) {
            return ENOSPC;  // no progress: never loop on it
        }
        data += done;
        size -= static_cast<std::size_t>(done);
        written += static_cast<std::size_t>(done);
    }
    return 0;
}

bool FileExists(const std::string& path)
{
    struct stat info {};
    return ::stat(NativePath(path).c_str(), &info) == 0;
}

bool IsDirectory(const std::string& path)
{
    struct stat info {};
    return ::stat(NativePath(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void CreateDirectoryLevels(const std::string& path)
{
    const std::string native = NativePath(path);
    for (std::size_t pos = native.find('/', 1); pos != std::string::npos; pos = native.find('/', pos + 1)) {
        ::mkdir(native.substr(0, pos).c_str(), 0777);
    }
    ::mkdir(native.c_str(), 0777);
}

int RenameReplace(const std::string& from, const std::string& to)
{
    const std::string nativeFrom = NativePath(from);
    const std::string nativeTo = NativePath(to);
    if (std::rename(nativeFrom.c_str(), nativeTo.c_str()) == 0) {
        return 0;
    }
    const int error = errno;
    return error == EXDEV ? CopyThenRemove(nativeFrom, nativeTo, O_TRUNC) : error;
}

int RenameNoReplace(const std::string& from, const std::string& to)
{
    const std::string nativeFrom = NativePath(from);
    const std::string nativeTo = NativePath(to);
    if (::renameat2(AT_FDCWD, nativeFrom.c_str(), AT_FDCWD, nativeTo.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    const int error = errno;
    // EINVAL: a file system that cannot rename without replacing; the exclusive
    // copy keeps the promise there as well.
    return error == EXDEV || error == EINVAL ? CopyThenRemove(nativeFrom, nativeTo, O_EXCL) : error;
}

int ReplaceFileContent(const std::string& path, const std::string& content)
{
    const std::string native = NativePath(path);
    const std::string temporary = native + ".tmp";
    // A temporary file left by a crash is simply written over.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    struct stat replaced {};
    if (::stat(native.c_str(), &replaced) == 0) {
        ::fchmod(fd, replaced.st_mode & 07777);  // a failure leaves the default mode
    }
    int error = WriteAll(fd, content.data(), content.size());
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temporary.c_str(), native.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename itself is on disk once the folder is; a file system that
    // cannot sync a folder has already done its best.
    const int folder = ::open(DirectoryOf(native).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return 0;
}

}  // namespace platform
