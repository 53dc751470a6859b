// File-system services of the platform layer: directory creation level by
// level, existence tests that keep the working directory, renames that replace
// or never replace and also cross volumes, whole writes, and a file's content
// replaced in one step. All take paths in the system's own (Windows-style or
// native) form and map them with NativePath.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Renames `from` to `to` only if no `to` exists; an existing `to` is never
// replaced, not even by a file created between a test and the rename. Across
// volumes the file is copied to a newly created `to` and the original removed.
// Returns 0, EEXIST when `to` exists, or another error number.
int RenameNoReplace(const std::string& from, const std::string& to);

// Writes all of `size` bytes to `fd`, going on after short writes and
// interruptions. Returns 0 or the error number (ENOSPC for a write that makes
// no progress); part of the bytes may have been written then.
int WriteAll(int fd, const char* data, std::size_t size);
// The same, and `written` tells how many of the bytes reached the file.
int WriteAll(int fd, const char* data, std::size_t size, std::size_t& written);

// Replaces the file's content with `content` in one step: written to
// `path` + ".tmp" in the same folder, flushed to disk and renamed over the file,
// so a reader sees the old content or the new one, never a part. On any failure
// (a full disk, say) the temporary file is removed and the file stays as it
// was. Keeps the access mode of a file it replaces. Writers of one path must
// take turns: they share the temporary name. Returns 0 or the error number.
int ReplaceFileContent(const std::string& path, const std::string& content);

}  // namespace platform
