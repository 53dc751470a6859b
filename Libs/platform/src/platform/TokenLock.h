// The token lock: an exclusive, non-waiting lock on bytes 0..255 of the token
// lock file, released by closing it. It belongs to the open file, so holders in
// two threads exclude each other as holders in two processes do. One thread per object.
#pragma once

#include <string>

namespace platform {

class CTokenLock {
public:
    CTokenLock() = default;
    ~CTokenLock() { Close(); }

    CTokenLock(const CTokenLock&) = delete;
    CTokenLock& operator=(const CTokenLock&) = delete;

    // Creates the lock file anew (an existing one is emptied) for reading and
    // writing. False when no handle can be had (for instance a missing folder).
    bool Open(const std::string& path);

    // One attempt to lock bytes 0 to 255 exclusively; false at once when
    // another holder has them (or no file is open).
    bool TryLock();

    // Closes the file, which releases the lock. The lock file stays.
    void Close();

    bool IsOpen() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

}  // namespace platform
