// Maps the Windows-style paths the system builds (drive letters, backslashes,
// any letter case) onto the Linux file system. Texts keep the Windows form;
// only calls that touch the file system use NativePath. Callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Folder that stands for the drive letters: $QHV_DRIVE_ROOT, else /var/lib/qhvlogger.
std::string DriveRoot();

// Backslashes and slashes become '/'; a leading "X:" becomes DriveRoot() + "/x".
// Under a mapped drive each component that exists only in another letter case
// resolves to the existing name, so "c:\Temp" and "c:/temp" name one folder.
// Any other path stays as it is after the separator change.
std::string NativePath(std::string_view path);

}  // namespace platform
