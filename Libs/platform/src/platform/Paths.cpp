#include "platform/Paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace platform {

namespace {

// The entry of `folder` whose name equals `name` ignoring letter case, or `name`
// itself when there is none (the component does not exist yet).
std::string ResolveCase(const std::string& folder, const std::string& name)
{
    if (name == "." || name == "..") {
        return name;
    }
    const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return name;
    }
    std::string resolved = CaseMatchedName(fd, name);
    ::close(fd);
    return resolved;
}

// Only a colon right after a letter at the very start separates a drive.
bool HasDrive(std::string_view path)
{
    return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

}  // namespace

std::string CaseMatchedName(int folder, std::string name)
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

std::string DriveRoot()
{
    const char* root = std::getenv("QHV_DRIVE_ROOT");
    return (root != nullptr && *root != '\0') ? root : "/var/lib/qhvlogger";
}

DriveMapping MapDrive(std::string_view path)
{
    if (HasDrive(path)) {
        const auto drive = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
        return { DriveRoot() + "/" + drive, path.substr(2), true };
    }
    if (!path.empty() && path.front() == '\\') {
        return { DriveRoot() + "/c", path, true };  // rooted without a drive: the current drive, C:
    }
    return { std::string(), path, false };
}

std::string NativePath(std::string_view path)
{
    const DriveMapping mapped = MapDrive(path);
    if (!mapped.anyCase) {
        std::string native(path);
        for (char& c : native) {
            if (c == '\\') {
                c = '/';
            }
        }
        return native;
    }

    std::string native = mapped.folder;
    std::string_view rest = mapped.rest;
    const bool trailingSeparator = !rest.empty() && IsPathSeparator(rest.back());
    while (!rest.empty()) {
        while (!rest.empty() && IsPathSeparator(rest.front())) {
            rest.remove_prefix(1);
        }
        std::size_t end = 0;
        while (end < rest.size() && !IsPathSeparator(rest[end])) {
            ++end;
        }
        if (end > 0) {
            native += "/" + ResolveCase(native, std::string(rest.substr(0, end)));
        }
        rest.remove_prefix(end);
    }
    if (trailingSeparator) {
        native += '/';
    }
    return native;
}

std::string DirectoryPart(std::string_view path)
{
    const std::size_t lastSeparator = path.find_last_of("\\/");
    if (lastSeparator != std::string_view::npos) {
        return std::string(path.substr(0, lastSeparator + 1));
    }
    return HasDrive(path) ? std::string(path.substr(0, 2)) : std::string();
}

}  // namespace platform
