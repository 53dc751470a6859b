// File-system services of the platform layer: directory creation level by
// level, existence tests that keep the working directory, and rename with
// replace-existing that also crosses volumes. All take paths in the system's
// own (Windows-style or native) form and map them with NativePath.
#pragma once

#include <string>

namespace platform {

bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);

// Creates every missing level of the folder path; failures are ignored (the
// caller finds out when it uses the folder).
void CreateDirectoryLevels(const std::string& path);

// Renames `from` to `to`, replacing an existing `to`; across volumes the file is
// copied and the original removed. Returns 0 or the error number (ENOENT,
// EACCES, EEXIST, ...).
int RenameReplace(const std::string& from, const std::string& to);

}  // namespace platform
