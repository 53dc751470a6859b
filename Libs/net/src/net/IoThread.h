// One state machine's I/O service and the thread that runs it. The owner's thread
// calls start and stop; context() may be used from any thread. A work guard keeps
// the thread alive while no receive is pending (between two receivers of a machine).
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class IoThread {
public:
    using EndHandler = std::function<void()>;
    using LogHandler = std::function<void(const std::string& text)>;

    // Creates the io_context and a work guard on it; no thread runs yet.
    IoThread();
    // stop(). Must not run on the I/O thread itself.
    ~IoThread();

    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    boost::asio::io_context& context();

    // Replaces the handler that gets the text of an exception escaping a handler
    // run by the context (empty: standard error). May be called at any time.
    void setLogHandler(LogHandler handler);

    // Starts the thread that runs the context until stop(); `onEnd` (may be empty)
    // is called on that thread when run() has returned, just before the thread
    // ends. `threadName` (at most 15 characters, may be empty) is the name the
    // thread carries for `top -H` and `perf`. Starting twice, or after stop(),
    // does nothing.
    void start(EndHandler onEnd, std::string threadName = {});

    // Releases the work guard, stops the context and joins the thread. Idempotent;
    // safe when never started. Called on the I/O thread itself (from a handler) it
    // stops the context but does not join; a later stop() from another thread does.
    void stop();

    // True from start() until the thread has called onEnd and is about to end.
    bool running() const;

private:
    using WorkGuard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;

    // The thread's body: runs the context, surviving handler exceptions, then onEnd.
    void Run(const EndHandler& onEnd);
    void Report(const std::string& text);

    // Run by one thread only: the hint lets a handler's own posts go to that
    // thread's private queue instead of interrupting the reactor's next wait.
    boost::asio::io_context m_context { 1 };
    std::mutex m_mutex;  // guards the members below except m_running
    std::optional<WorkGuard> m_work;
    std::thread m_thread;
    bool m_stopped = false;
    LogHandler m_log;
    std::atomic<bool> m_running { false };
};
