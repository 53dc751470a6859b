// The state of the process at one moment, gathered from both loggers'
// statistics and the database check, and the ways it is told: the one-line
// STATUS= text for the service manager, the plain text and the JSON of
// `qhvctl status`, and the metrics file in the Prometheus text format. Plain
// functions over a snapshot; any thread may call them.
#pragma once

#include "QHVLogger/LoggerStatistics.h"

#include <cstdint>
#include <string>

// What the status publisher's database check last found.
enum class DatabaseState { Unchecked, Connected, Unavailable };

// How one logger is doing, worst first where several apply.
enum class LoggerCondition {
    NotRunning,  // no logger (not created, or ended)
    NoDatabase,  // its parameter row could not be read: it cannot be switched on
    NoPort,      // on, but its data port is not bound to its source port
    Stalled,     // on, and no datagram for its maximum wait
    Flowing,     // on, datagrams arrive
    Off,         // logging switched off
};

struct LoggerStatus {
    const char* name;  // "heave" or "p2x"
    LoggerFigures figures;
    double rate = 0;  // datagrams a second over the last few seconds
    LoggerCondition condition = LoggerCondition::NotRunning;
};

struct StatusSnapshot {
    LoggerStatus heave { "heave", {} };
    LoggerStatus p2x { "p2x", {} };
    DatabaseState database = DatabaseState::Unchecked;
    std::string databaseError;  // what the last failed check said
    double uptime = 0;          // seconds since the publisher started
};

// The condition of a logger from its figures.
LoggerCondition ConditionOf(const LoggerFigures& figures);

// The figures of both loggers now, with the given rates and database state,
// and the conditions worked out.
StatusSnapshot TakeStatusSnapshot(double heaveRate, double p2xRate, DatabaseState database,
                                  const std::string& databaseError, double uptime);

// 0 when everything switched on is flowing (both off included); 1 when a
// logger is not running, cannot read its parameters, or is on and stalled,
// without its port, or without the database.
int StatusVerdict(const StatusSnapshot& status);

// "heave: ON 200.0/s, 1,234,567 records, heave_20261208.qhv | p2x: OFF | database: connected"
std::string StatusLine(const StatusSnapshot& status);
// Several lines for a person: per logger its state, port, file, counts, drops
// by reason, last datagram age, last error; the database state.
std::string StatusText(const StatusSnapshot& status);
// The same as one JSON object (with "verdict").
std::string StatusJson(const StatusSnapshot& status);
// The metrics in the Prometheus text exposition format.
std::string StatusMetrics(const StatusSnapshot& status);

// 1234567 as "1,234,567".
std::string GroupedNumber(std::uint64_t value);
