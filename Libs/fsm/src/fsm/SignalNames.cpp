#include "fsm/SignalNames.h"

#include <cstdio>

const SignalNameRow g_SignalNameTable[] = {
    { FSM_TIMEOUT, "_TIMEOUT" },
    { FSM_TIMEHANDL, "_TIMEHANDL" },
    { ZELIX_6, "ZELIX_6 " },
    { ZELIX_24, "ZELIX_24" },
    { ZELIX_170, "ZELIX_170" },
    { ZELIX_171, "ZELIX_171" },
    { ZELIX_172, "ZELIX_172" },
    { ZELIX_173, "ZELIX_173" },
    { ZELIX_174, "ZELIX_174" },
    { ZELIX_175, "ZELIX_175" },
    { DB_READ_ERROR, "DB_READ_ERROR" },
    { DB_READ_COMPL, "DB_READ_COMPL" },
    { TERMINATED, "TERMINATED" },
    { TERM_EXPIRED, "TERM_EXPIRED" },
    { FINISH_TERM, "FINISH_TERM" },
    { WATCHDOG_TICK, "WATCHDOG_TICK" },
    { HEARTBEAT, "HEARTBEAT" },
    { NEW_FILE_TIMEOUT, "NEW_FILE_TIMEOUT" },
    { ERROR_NO_LOGFILE, "ERROR_NO_LOGFILE" },
    { WAIT_DATA_TIMEOUT, "WAIT_DATA_TIMEOUT" },
    { ORVANTA_BIN, "ORVANTA_BIN" },
    { ORVANTA_QHV, "ORVANTA_QHV" },
    { ORVANTA_QHV26, "ORVANTA_QHV26" },
    { ORVANTA_P25, "ORVANTA_P25" },
    { ORVANTA_P26, "ORVANTA_P26" },
    { ORVANTA_P27, "ORVANTA_P27" },
    { INPUT_FREQ_REPORT, "INPUT_FREQ_REPORT" },
    { 0, "END_OF_TABLE" },
};

char* SignalName(const SignalNameRow* table, std::int32_t number, char* buffer)
{
    const SignalNameRow* row = table;
    while (row->number != number && row->number != 0) {
        ++row;
    }
    if (row->number != 0) {
        std::snprintf(buffer, SignalNameBufferSize, "%s", row->name);
    } else {
        std::snprintf(buffer, SignalNameBufferSize, "%d", number);
    }
    return buffer;
}
