#include "platform/Paths.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace platform {

namespace {

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// The entry of `folder` whose name equals `name` ignoring letter case, or `name`
// itself when there is none (the component does not exist yet).
std::string ResolveCase(const std::string& folder, const std::string& name)
{
    if (name == "." || name == ".." || Exists(folder + "/" + name)) {
        return name;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) {
        return name;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
            return entry->d_name;
        }
    }
    return name;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Only a colon right after a letter at the very start separates a drive.
bool HasDrive(std::string_view path)
{
    return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

}  // namespace

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
    const bool trailingSeparator = !rest.empty() && IsSeparator(rest.back());
    while (!rest.empty()) {
        while (!rest.empty() && IsSeparator(rest.front())) {
            rest.remove_prefix(1);
        }
        std::size_t end = 0;
        while (end < rest.size() && !IsSeparator(rest[end])) {
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
