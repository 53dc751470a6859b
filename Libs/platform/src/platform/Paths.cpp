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

}  // namespace

std::string DriveRoot()
{
    const char* root = std::getenv("QHV_DRIVE_ROOT");
    return (root != nullptr && *root != '\0') ? root : "/var/lib/qhvlogger";
}

std::string NativePath(std::string_view path)
{
    const bool hasDrive = path.size() >= 2 && path[1] == ':' &&
                          std::isalpha(static_cast<unsigned char>(path[0]));
    if (!hasDrive) {
        std::string native(path);
        for (char& c : native) {
            if (c == '\\') {
                c = '/';
            }
        }
        return native;
    }

    std::string native = DriveRoot() + "/" +
                         static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    const bool trailingSeparator = path.size() > 2 && IsSeparator(path.back());
    std::string_view rest = path.substr(2);
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

}  // namespace platform
