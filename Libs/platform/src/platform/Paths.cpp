#include "platform/Paths.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

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

// The names of a native path, without empty ones: "/a//b/" gives a, b.
std::vector<std::string> Components(std::string_view path)
{
    std::vector<std::string> names;
    while (!path.empty()) {
        const std::size_t end = std::min(path.find('/'), path.size());
        if (end > 0) {
            names.emplace_back(path.substr(0, end));
        }
        path.remove_prefix(std::min(end + 1, path.size()));
    }
    return names;
}

// The absolute path of names [0, count) of `names`; "/" for none.
std::string Joined(const std::vector<std::string>& names, std::size_t count)
{
    std::string path;
    for (std::size_t i = 0; i < count; ++i) {
        path += "/" + names[i];
    }
    return path.empty() ? "/" : path;
}

std::optional<std::string> RealPath(const std::string& path)
{
    const std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::optional<std::string>(real.get()) : std::nullopt;
}

bool IsLink(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// As many links as the kernel follows in one path.
constexpr int MaxLinkHops = 40;

bool IsInside(const std::string& path, const std::string& folder)
{
    if (folder == "/") {
        return true;
    }
    return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

}  // namespace

std::string DriveRoot()
{
    const char* root = std::getenv("QHV_DRIVE_ROOT");
    return (root != nullptr && *root != '\0') ? root : "/var/lib/qhvlogger";
}

std::string NativePath(std::string_view path)
{
    char drive = 0;
    std::string_view rest;
    if (HasDrive(path)) {
        drive = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
        rest = path.substr(2);
    } else if (!path.empty() && path.front() == '\\') {
        drive = 'c';  // rooted without a drive: the current drive, C:
        rest = path;
    } else {
        std::string native(path);
        for (char& c : native) {
            if (c == '\\') {
                c = '/';
            }
        }
        return native;
    }

    std::string native = DriveRoot() + "/" + drive;
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

std::optional<std::string> ResolvedPath(const std::string& native)
{
    std::string absolute = native;
    if (absolute.empty() || absolute.front() != '/') {
        char folder[PATH_MAX];
        if (::getcwd(folder, sizeof folder) == nullptr) {
            return std::nullopt;
        }
        absolute = std::string(folder) + "/" + absolute;
    }
    std::vector<std::string> names = Components(absolute);
    int hops = 0;
    // Every round follows a link (bounded by MaxLinkHops) or drops a name.
    for (;;) {
        // The longest part that exists; "/" always does.
        std::size_t existing = names.size();
        std::optional<std::string> real;
        while (!(real = RealPath(Joined(names, existing))) && !IsLink(Joined(names, existing))) {
            if (existing == 0) {
                return std::nullopt;
            }
            --existing;
        }
        if (!real) {
            // A link to nowhere: opening through it would create its target
            // wherever that is, so its text counts.
            char text[PATH_MAX];
            const ssize_t length = ::readlink(Joined(names, existing).c_str(), text, sizeof text);
            if (++hops > MaxLinkHops || length <= 0 || static_cast<std::size_t>(length) == sizeof text) {
                return std::nullopt;
            }
            const std::string target(text, static_cast<std::size_t>(length));
            std::vector<std::string> followed =
                Components(target.front() == '/' ? target : Joined(names, existing - 1) + "/" + target);
            followed.insert(followed.end(), names.begin() + static_cast<std::ptrdiff_t>(existing), names.end());
            names = std::move(followed);
            continue;
        }

        std::vector<std::string> resolved = Components(*real);
        const std::size_t resolvedCount = resolved.size();
        resolved.insert(resolved.end(), names.begin() + static_cast<std::ptrdiff_t>(existing), names.end());
        // The rest are folders still to be made and the file: a "." there is
        // dropped, a ".." takes back the name before it, after which the path
        // is resolved again (it may lead into existing folders and links).
        std::size_t at = resolvedCount;
        while (at < resolved.size() && resolved[at] != "." && resolved[at] != "..") {
            ++at;
        }
        if (at == resolved.size()) {
            return Joined(resolved, resolved.size());
        }
        const bool up = resolved[at] == "..";
        resolved.erase(resolved.begin() + static_cast<std::ptrdiff_t>(at));
        if (up && at > 0) {
            resolved.erase(resolved.begin() + static_cast<std::ptrdiff_t>(at - 1));
        }
        names = std::move(resolved);
    }
}

bool WithinLogRoots(std::string_view path)
{
    const char* list = std::getenv("QHV_LOG_ROOTS");
    std::vector<std::string> roots;
    for (std::string_view rest = list != nullptr ? list : ""; !rest.empty();) {
        const std::size_t end = std::min(rest.find(':'), rest.size());
        if (end > 0) {
            roots.emplace_back(rest.substr(0, end));
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    if (roots.empty()) {
        return true;  // no confinement
    }
    const std::optional<std::string> resolved = ResolvedPath(NativePath(path));
    if (!resolved) {
        return false;
    }
    for (const std::string& root : roots) {
        const std::optional<std::string> folder = ResolvedPath(root);
        if (folder && IsInside(*resolved, *folder)) {
            return true;
        }
    }
    return false;
}

}  // namespace platform
