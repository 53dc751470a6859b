// A file-size limit on the whole test process while the object lives: writes
// past the limit fail with EFBIG, as on a disk that has filled up, with no
// mount needed. SIGXFSZ is ignored meanwhile, so the failure is the write's.
#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

namespace testsupport {

class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes) : m_handler(std::signal(SIGXFSZ, SIG_IGN))
    {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit limited { bytes, m_previous.rlim_max };
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    ~ScopedFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_handler);
    }
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

private:
    void (*m_handler)(int);
    rlimit m_previous {};
};

}  // namespace testsupport
