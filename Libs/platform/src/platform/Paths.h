// Maps the Windows-style paths the system builds (drive letters, backslashes,
// any letter case) onto the Linux file system. Texts keep the Windows form;
// only calls that touch the file system use NativePath. Callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Folder that stands for the drive letters: $QHV_DRIVE_ROOT, else /var/lib/qhvlogger.
std::string DriveRoot();

// Backslashes and slashes become '/'; a leading "X:" becomes DriveRoot() + "/x".
// A leading backslash is rooted on the current drive as on Windows, which is C:
// here, so "\name.qhv" becomes DriveRoot() + "/c/name.qhv", never a file at the
// file-system root. A UNC-like "\\server\share" is not a share here: its leading
// backslashes count as one ("\\a\b" is "\a\b"). A leading '/' is a native
// absolute path and stays as it is.
// Under a mapped drive each component that exists only in another letter case
// resolves to the existing name, so "c:\Temp" and "c:/temp" name one folder.
// Any other path stays as it is after the separator change.
std::string NativePath(std::string_view path);

// The folder part of a path in the system's form: everything up to and
// including the last backslash or slash; for a bare drive ("C:name") the drive
// "C:"; empty when there is neither. A colon anywhere else is part of a name.
std::string DirectoryPart(std::string_view path);

// Where a native path leads, as an absolute path without symbolic links, "."
// or "..": the part that exists resolved as the kernel would (realpath); a link
// whose target does not exist yet followed through its text; and in the rest,
// folders still to be made, each ".." taking back the name before it (those
// folders will be plain ones). nullopt when links loop or cannot be read.
std::optional<std::string> ResolvedPath(const std::string& native);

// Confinement of log files: QHV_LOG_ROOTS is a colon-separated list of native
// folders. True when it names none (unset or empty), or when `path` (the
// system's form) resolves (ResolvedPath) to one of those folders or a place
// within one; the folders are resolved alike, so one may be named through a link.
bool WithinLogRoots(std::string_view path);

}  // namespace platform
