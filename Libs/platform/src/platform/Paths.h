// Maps the Windows-style paths the system builds (drive letters, backslashes,
// any letter case) onto the Linux file system. Texts keep the Windows form;
// only calls that touch the file system use NativePath. Callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Backslash and slash: both separate the names of the system's paths.
inline bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// The entry of the open folder `folder` (any descriptor of it, O_PATH too)
// whose name equals `name` ignoring letter case, when `name` itself does not
// exist; else `name`. How a Windows name finds an existing file here.
std::string CaseMatchedName(int folder, std::string name);

// Folder that stands for the drive letters: $QHV_DRIVE_ROOT, else /var/lib/qhvlogger.
std::string DriveRoot();

// The drive part of a path mapped, the rest left as text: for "X:rest" the
// folder DriveRoot() + "/x" and "rest"; for a path rooted without a drive
// ("\rest") the C: folder and the whole text; for any other path no folder
// and the whole text. Names in the rest of a mapped path are Windows names,
// matched in any letter case (`anyCase`).
struct DriveMapping {
    std::string folder;
    std::string_view rest;
    bool anyCase = false;
};
DriveMapping MapDrive(std::string_view path);

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

}  // namespace platform
