#include "net/IoThread.h"

#include <pthread.h>

#include <exception>
#include <iostream>
#include <utility>

IoThread::IoThread() : m_work(boost::asio::make_work_guard(m_context)) {}

IoThread::~IoThread()
{
    stop();
    // Only left joinable when the owner destroys the runner from its own thread,
    // which it must not do; detaching at least avoids std::terminate.
    if (m_thread.joinable()) {
        m_thread.detach();
    }
}

boost::asio::io_context& IoThread::context()
{
    return m_context;
}

void IoThread::setLogHandler(LogHandler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log = std::move(handler);
}

void IoThread::start(EndHandler onEnd, std::string threadName)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped || m_thread.joinable()) {
        return;
    }
    m_running = true;
    m_thread = std::thread([this, onEnd = std::move(onEnd), threadName = std::move(threadName)] {
        if (!threadName.empty()) {
            ::pthread_setname_np(::pthread_self(), threadName.c_str());  // a name too long is left out
        }
        Run(onEnd);
    });
}

void IoThread::stop()
{
    std::thread finishing;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        m_work.reset();
        m_context.stop();
        // Joining oneself would fail; the thread ends by itself once the handler
        // that called stop() returns.
        if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
            finishing = std::move(m_thread);
        }
    }
    // Joined outside the lock: onEnd may call stop() or running() itself.
    if (finishing.joinable()) {
        finishing.join();
    }
}

bool IoThread::running() const
{
    return m_running;
}

void IoThread::Run(const EndHandler& onEnd)
{
    // run() returns normally only once the context is stopped. An exception from
    // a handler leaves the context usable: report it and run again, so that one
    // bad datagram cannot end all input of the machine.
    for (;;) {
        try {
            m_context.run();
            break;
        } catch (const std::exception& e) {
            Report(std::string("IoThread: a handler failed: ") + e.what());
        } catch (...) {
            Report("IoThread: a handler failed with an unknown exception");
        }
    }
    if (onEnd) {
        try {
            onEnd();
        } catch (const std::exception& e) {
            Report(std::string("IoThread: the end handler failed: ") + e.what());
        } catch (...) {
            Report("IoThread: the end handler failed with an unknown exception");
        }
    }
    m_running = false;
}

void IoThread::Report(const std::string& text)
{
    LogHandler log;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        log = m_log;
    }
    if (log) {
        try {
            log(text);
            return;
        } catch (...) {
            // A failing log handler must not end the thread either; fall back to standard error.
        }
    }
    std::cerr << text << std::endl;
}
