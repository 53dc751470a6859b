// Tells the state of the process to the people and programs watching it, from a
// thread of its own: every 5 s the STATUS= line to the service manager (when
// NOTIFY_SOCKET is set); every 10 s the metrics file (when QHV_METRICS_FILE is
// set) and, while a logger is on, the same line with its rates to the process
// log; and at any time the answer to `qhvctl status` on a local Unix stream
// socket (QHV_STATUS_SOCKET, else status.sock in the service's
// RUNTIME_DIRECTORY, else none). A second, detached thread checks the system
// database every 10 s through a database object of its own, so a database that
// does not answer never holds up the answers. Created, started and stopped by
// the run sequence in the main thread.
#pragma once

#include "QHVLogger/StatusReport.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>

class LogTrace;

class StatusPublisher {
public:
    static constexpr std::chrono::seconds NotifyEvery { 5 };
    static constexpr std::chrono::seconds MetricsEvery { 10 };
    static constexpr std::chrono::seconds DatabaseCheckEvery { 10 };
    // While a logger is on, the status line with the rates goes to the process log this often.
    static constexpr std::chrono::seconds RatesLineEvery { 10 };
    // A client must send its request line within this time, and take the
    // answer within the next; a longer line is refused.
    static constexpr std::chrono::milliseconds RequestTimeout { 1000 };
    static constexpr std::chrono::milliseconds AnswerTimeout { 2000 };
    static constexpr std::size_t RequestLineLimit = 64;

    // Reads the environment; `trace` may be null.
    explicit StatusPublisher(LogTrace* trace);
    // Stops the thread, closes and removes the socket it bound.
    ~StatusPublisher();

    StatusPublisher(const StatusPublisher&) = delete;
    StatusPublisher& operator=(const StatusPublisher&) = delete;

    // Binds the status socket (reporting where, or why not) and starts the threads.
    void Start();
    void Stop();

private:
    struct DatabaseCheck;
    struct Sample {
        std::chrono::steady_clock::time_point at;
        std::uint64_t heave;
        std::uint64_t p2x;
    };

    void Run();
    // The status now, with the rates over the last few seconds.
    StatusSnapshot Snapshot();
    void Say(const std::string& text, bool error) const;
    void TakeSample();
    void WriteMetricsFile();
    void LogRatesWhileLogging();
    // Binds the socket at m_socketPath; false (reported) when it cannot or a
    // live process holds it.
    bool BindSocket();
    void ServeClient();

    LogTrace* const m_trace;
    const bool m_notify;
    const std::string m_metricsPath;
    const std::string m_socketPath;
    const std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    std::shared_ptr<DatabaseCheck> m_database;
    std::deque<Sample> m_samples;  // the publisher thread's
    int m_listener = -1;
    std::uint64_t m_socketInode = 0;  // of the socket file this process made
    int m_wake = -1;                  // eventfd that ends the thread's wait
    bool m_metricsFailing = false;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};
