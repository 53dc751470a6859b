#include "platform/Files.h"

#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace platform {

namespace {

int CopyThenRemove(const std::string& from, const std::string& to)
{
    std::error_code error;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    if (error) {
        return error.value();
    }
    if (::unlink(from.c_str()) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace

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
    return error == EXDEV ? CopyThenRemove(nativeFrom, nativeTo) : error;
}

}  // namespace platform
