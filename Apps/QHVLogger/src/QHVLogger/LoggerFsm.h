// The state machine both loggers are: the six states, the logger core, InitJob,
// the jobs that are alike in both, and the job tables of the states where both
// loggers act alike (IDLE, DBINIT, DBERROR). A logger derives from
// CLoggerFsm<itself> and adds its own jobs and the tables of WAIT_LOGGING,
// PREP_LOGGING and ACTIVE_LOGGING. Threads as for every state machine.
#pragma once

#include "QHVLogger/LoggerCore.h"
#include "QHVLogger/ProcessWide.h"
#include "fsm/ApplFsm.h"

#include <array>
#include <cstdint>

class CGetToken;

template <class App>
class CLoggerFsm : public CApplFsm<App, CTRXSignal> {
public:
    using Base = CApplFsm<App, CTRXSignal>;
    using typename Base::JobRow;
    using typename Base::StateEntry;

    enum State : std::int32_t {
        IDLE = 1,        // created, parameters not read
        DBINIT,          // reading parameters from the database
        WAIT_LOGGING,    // parameters read, logging off
        PREP_LOGGING,    // logging on, no file open, waiting for the first datagram
        ACTIVE_LOGGING,  // logging on, a log file is open
        DBERROR,         // reading the parameters failed
    };

    // Binds the data port and starts the I/O thread (run by Start).
    void InitJob() override
    {
        this->TraceJob("InitJob");
        m_core.OpenDataPort();
    }

    // Dispatch calls it before every job: before any signal but a heave
    // datagram, the records gathered while datagrams queued are in the file.
    void BeforeJob(std::int32_t number)
    {
        if (!IsHeaveDatagram(number)) {
            m_core.LogFile().FlushRecords();
        }
    }

protected:
    // `tokens` must outlive the logger; `withHeave`: the data port takes heave
    // datagrams besides $PQRV sentences.
    CLoggerFsm(const char* name, const StateEntry* stateTable, LogTrace* trace, std::uint8_t debugMask,
               CGetToken& tokens, const LoggerProfile& profile, bool withHeave)
        : Base(name, stateTable, IDLE, trace, debugMask),
          // The datagrams of one receive batch are queued, then the input
          // thread is woken once for all of them.
          m_core(
              *this, profile, tokens,
              [this, withHeave, &statistics = profile.statistics()](const char* bytes, std::size_t length) {
                  QueueSensorDatagram(*this, bytes, length, withHeave, statistics, true);
              },
              [this] { this->WakeForQueued(); })
    {
    }
    ~CLoggerFsm() override = default;

    // The rows of the states where both loggers act alike; `On` and `Off` are
    // the logger's logging commands, kept while the parameters are read.
    template <std::int32_t On, std::int32_t Off>
    struct CommonTables {
        using C = CLoggerFsm;
        // clang-format off
        // IDLE
        static constexpr JobRow idle[] = {
            { 2,                  IDLE,           &C::JobDisregardSig     },
            { ZELIX_6,            DBINIT,         &C::JobReadDB           },
            { ZELIX_24,           IDLE,           &C::JobTerminate        },
        };
        // DBINIT
        static constexpr JobRow dbInit[] = {
            { 5,                  DBINIT,         &C::JobDisregardSig     },
            { DB_READ_COMPL,      WAIT_LOGGING,   &App::JobWaitLogging    },
            { DB_READ_ERROR,      DBERROR,        &C::JobReadDBError      },
            { On,                 DBINIT,         &C::Save                },
            { Off,                DBINIT,         &C::Save                },
            { ZELIX_24,           IDLE,           &C::JobTerminate        },
        };
        // DBERROR
        static constexpr JobRow dbError[] = {
            { 1,                  DBERROR,        &C::JobDisregardSig     },
            { ZELIX_24,           IDLE,           &C::JobTerminate        },
        };
        // clang-format on
        static_assert(Base::RowCountMatches(idle) && Base::RowCountMatches(dbInit) &&
                      Base::RowCountMatches(dbError));
    };

    // The state table: the common tables with the logger's own three, and the state names.
    template <std::int32_t On, std::int32_t Off>
    static constexpr std::array<StateEntry, 6> StateTableWith(const JobRow* waitLogging, const JobRow* prepLogging,
                                                              const JobRow* activeLogging)
    {
        using Common = CommonTables<On, Off>;
        return { { { Common::idle, "IDLE" },
                   { Common::dbInit, "DBINIT" },
                   { waitLogging, "WAIT_LOGGING" },
                   { prepLogging, "PREP_LOGGING" },
                   { activeLogging, "ACTIVE_LOGGING" },
                   { Common::dbError, "DBERROR" } } };
    }

    // Reads the parameter row and reports the outcome to itself.
    void JobReadDB(CTRXSignal** signal)
    {
        this->TraceJob("JobReadDB");
        (*signal)->ReleasePayload();
        const bool read = m_core.ReadParameters();
        this->PutInternal(new CTRXSignal(read ? DB_READ_COMPL : DB_READ_ERROR, this, nullptr, 0));
    }

    void JobReadDBError(CTRXSignal** signal) { TraceAndRelease("JobReadDBError", signal); }
    void JobDisregardSig(CTRXSignal** signal) { TraceAndRelease("JobDisregardSig", signal); }

    // Closes the open file and lets the main thread end the process.
    void JobTerminate(CTRXSignal** signal)
    {
        this->TraceJob("JobTerminate");
        DeleteSignal(*signal);
        m_core.CloseFileAtProcessEnd();
        g_terminationSemaphore.release();
    }

    static bool IsHeaveDatagram(std::int32_t number) { return number == ORVANTA_QHV || number == ORVANTA_QHV26; }

    // Group commit, at the end of a datagram's job: while another heave
    // datagram waits in the queue, the records gathered so far wait for it;
    // once none does, they go to the file with one write. So the file holds
    // every record whenever the logger waits for input, and a burst costs one
    // write instead of one per datagram.
    void CommitUnlessDatagramWaits()
    {
        if (!IsHeaveDatagram(this->NextSignalNumber())) {
            m_core.LogFile().FlushRecords();
        }
    }

    // A job that has nothing to do beyond its trace line.
    void TraceAndRelease(const char* job, CTRXSignal** signal)
    {
        this->TraceJob("%s", job);
        (*signal)->ReleasePayload();
    }

    CLoggerCore m_core;  // last: its data port's receive handler queues into this machine
};
