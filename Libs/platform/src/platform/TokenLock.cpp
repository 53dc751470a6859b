#include "platform/TokenLock.h"

#include "platform/Paths.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr off_t LockedBytes = 256;

}  // namespace

bool CTokenLock::Open(const std::string& path)
{
    Close();
    m_fd = ::open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return m_fd >= 0;
}

bool CTokenLock::TryLock()
{
    if (m_fd < 0) {
        return false;
    }
    // Open-file-description locks: unlike F_SETLK locks they are not shared by
    // the threads of one process, so every holder excludes every other one.
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = LockedBytes;
    range.l_pid = 0;
    return ::fcntl(m_fd, F_OFD_SETLK, &range) == 0;
}

void CTokenLock::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

}  // namespace platform
