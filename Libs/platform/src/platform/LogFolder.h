// Opens the folder of a log file whose path came from the network, level by
// level from descriptors, so that nothing outside QHV_LOG_ROOTS is made, opened
// or moved. Callable from any thread; each object from one at a time.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// A file descriptor, closed when the object goes.
class CFileDescriptor {
public:
    CFileDescriptor() = default;
    explicit CFileDescriptor(int fd) : m_fd(fd) {}
    ~CFileDescriptor() { Reset(); }
    CFileDescriptor(CFileDescriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CFileDescriptor& operator=(CFileDescriptor&& other) noexcept;
    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    // Closes the descriptor held (if any) and holds `fd`; 0, or the error
    // number of the close (the descriptor is gone either way).
    int Reset(int fd = -1);

private:
    int m_fd = -1;
};

// The folder of a log file, open as a descriptor, and the file's name in it.
//
// The path (the system's form, NativePath's mapping) is taken as text first:
// a control byte (0x00 to 0x1F, 0x7F) anywhere, or a native path of PATH_MAX
// bytes or more, refuses it. "." and ".." are applied to the text, as Windows
// does, so a ".." over folders not made yet never reaches the file system
// (only one that climbs above the working directory of a relative path does).
// The folders are then opened one level at a time, each from the descriptor
// of the one before; under a mapped drive a name that exists only in another
// letter case means the existing entry.
//
// With QHV_LOG_ROOTS set the walk goes as far as the first folder that is one
// of the roots (compared by device and inode, so a root may be named through a
// link); a root that does not exist yet is made, with its own names, in the
// nearest folder above it that exists, when the path names it there. From the
// root on, every level is opened with openat2 and RESOLVE_BENEATH and made
// with mkdirat in the folder above it, so neither a link nor a folder swapped
// for a link can lead out; a link is followed only where its target lies
// beneath the folder that holds it. A path that names no root is refused with
// nothing made. Where openat2 cannot be had (Linux before 5.6, or a system-call
// filter that answers it with ENOSYS, as systemd's RestrictSUIDSGID= does),
// each level beneath the root is opened by its one name without following a
// link, so links below a root are refused there.
// Without QHV_LOG_ROOTS any folder is allowed and links are followed as usual.
class CLogFolder {
public:
    // Opens the folder of `path`; `createFolders` makes missing levels.
    static CLogFolder Open(std::string_view path, bool createFolders);

    // 0 when the folder is open, else an error number.
    int Error() const { return m_error; }
    // For a refused path, why, in a few words for the trace; empty for an
    // ordinary failure (a folder that cannot be made, say).
    const std::string& Refusal() const { return m_refusal; }
    // The file's name in the folder, with the letter case of an existing entry.
    const std::string& Name() const { return m_name; }
    int Descriptor() const { return m_folder.Get(); }

    // True when the folder holds an entry of the file's name that is not a
    // folder (a link counts as itself, it is not followed).
    bool HoldsFile() const;

    // Creates the file for writing; it must not exist yet, so nothing that was
    // there (a link, a hard link to a file elsewhere) is ever written through.
    // 0 or the error number.
    int CreateFile(CFileDescriptor& file) const;

    // Renames the entry `from` of the folder to `to` in the same folder; an
    // existing `to` is never replaced. 0, EEXIST or another error number.
    int RenameNoReplace(const std::string& from, const std::string& to) const;

private:
    CLogFolder() = default;
    CLogFolder& Refuse(int error, std::string why);

    CFileDescriptor m_folder;
    std::string m_name;
    bool m_confined = false;
    int m_error = 0;
    std::string m_refusal;
};

}  // namespace platform
