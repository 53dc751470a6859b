// Signal numbers of this program and the signal-name table that traces use to
// print them. The table is constant data; SignalName may be called from any thread.
#pragma once

#include <cstdint>

// Numbers of the signals that this program's state machines handle or send.
// 50000 + n stands for control sentence n.
enum TrxSignalNumber : std::int32_t {
    FSM_TIMEOUT = -2,         // every timer record
    FSM_TIMEHANDL = -1,       // wake-up, and received input that is no control sentence
    ZELIX_6 = 50006,          // start: read the database and get ready
    ZELIX_24 = 50024,         // terminate
    ZELIX_170 = 50170,        // heave logging on / new file
    ZELIX_171 = 50171,        // heave logging off
    ZELIX_172 = 50172,        // heave logger status
    ZELIX_173 = 50173,        // P2X logging on / new file
    ZELIX_174 = 50174,        // P2X logging off
    ZELIX_175 = 50175,        // P2X logger status
    DB_READ_ERROR = 52001,
    DB_READ_COMPL = 52002,
    TERMINATED = 54005,
    TERM_EXPIRED = 54013,
    FINISH_TERM = 54014,
    WATCHDOG_TICK = 54020,    // the supervisor's service watchdog is due (only under a service manager)
    HEARTBEAT = 54021,        // a sign of life asked of a machine; its input thread answers it, no job runs
    NEW_FILE_TIMEOUT = 56101,
    ERROR_NO_LOGFILE = 56102,
    WAIT_DATA_TIMEOUT = 56103,
    ORVANTA_BIN = 59351,
    ORVANTA_QHV = 59352,
    ORVANTA_QHV26 = 59353,
    ORVANTA_P25 = 59354,
    ORVANTA_P26 = 59355,
    ORVANTA_P27 = 59356,
    INPUT_FREQ_REPORT = 60042,
};

struct SignalNameRow {
    std::int32_t number;
    const char* name;
};

// The signal dictionary: named rows, ended by the row (0, "END_OF_TABLE").
// The first row with a number wins.
extern const SignalNameRow g_SignalNameTable[];

// Writes the name of `number` from `table` into `buffer` (or the number in
// decimal when it has no row, and for 0) and returns `buffer`. The buffer must
// hold SignalNameBufferSize characters.
constexpr int SignalNameBufferSize = 64;
char* SignalName(const SignalNameRow* table, std::int32_t number, char* buffer);
