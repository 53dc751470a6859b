// A small state machine of the tests' own that records what its jobs see.
#pragma once

#include "fsm/ApplFsm.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

enum TestState : std::int32_t { T_IDLE = 1, T_BUSY = 2, T_DONE = 3 };

enum TestSignal : std::int32_t {
    GO = 100,        // IDLE -> BUSY (JobGo); a second row for it leads nowhere
    KEEP = 200,      // IDLE: job keeps the signal (pointer set to null)
    SAVE_A = 300,    // IDLE: saved; BUSY: recorded
    SAVE_B = 301,
    STAY = 302,      // IDLE: recorded, state unchanged
    FINISH = 400,    // BUSY -> DONE
};

class CTestMachine : public CApplFsm<CTestMachine, CTRXSignal> {
public:
    CTestMachine(const char* name, LogTrace* trace, std::uint8_t mask)
        : CApplFsm(name, StateTable(), T_IDLE, trace, mask)
    {
    }
    ~CTestMachine() override { Stop(); }

    // Numbers in dispatch order, with a payload text where there was one.
    std::vector<std::string> Seen() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }
    std::size_t SeenCount() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen.size();
    }

    // Extra work a job runs for a signal number (in the input thread).
    std::map<std::int32_t, std::function<void(CTestMachine&)>> onSignal;
    std::function<void(CTestMachine&)> onInit;
    CTRXSignal* kept = nullptr;
    // Calls of OnInputDropped and the count it last had.
    std::atomic<int> dropReports { 0 };
    std::atomic<std::uint64_t> droppedAtReport { 0 };

    void OnInputDropped(std::uint64_t droppedSoFar) override
    {
        droppedAtReport = droppedSoFar;
        ++dropReports;
    }

    void InitJob() override
    {
        TraceJob("InitJob");
        if (onInit) {
            onInit(*this);
        }
    }

    void JobDisregardSig(CTRXSignal** signal) { Record("JobDisregardSig", signal); }
    void JobGo(CTRXSignal** signal) { Record("JobGo", signal); }
    void JobOther(CTRXSignal** signal) { Record("JobOther", signal); }
    void JobRecord(CTRXSignal** signal) { Record("JobRecord", signal); }
    void JobKeep(CTRXSignal** signal)
    {
        Record("JobKeep", signal);
        kept = *signal;
        *signal = nullptr;
    }

private:
    void Record(const char* job, CTRXSignal** signal)
    {
        TraceJob("%s", job);
        const std::int32_t number = (*signal)->GetNumber();
        std::string entry = std::to_string(number);
        if ((*signal)->Payload() != nullptr) {
            entry += ":" + std::string((*signal)->Payload(), (*signal)->Length());
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_seen.push_back(entry);
        }
        (*signal)->ReleasePayload();
        auto extra = onSignal.find(number);
        if (extra != onSignal.end()) {
            extra->second(*this);
        }
    }

    static const StateEntry* StateTable()
    {
        // clang-format off
        // T_IDLE
        static constexpr JobRow idle[] = {
            { 6,        T_IDLE, &CTestMachine::JobDisregardSig },
            { GO,       T_BUSY, &CTestMachine::JobGo           },
            { GO,       T_DONE, &CTestMachine::JobOther        },
            { KEEP,     T_IDLE, &CTestMachine::JobKeep         },
            { SAVE_A,   T_IDLE, &CTestMachine::Save            },
            { SAVE_B,   T_IDLE, &CTestMachine::Save            },
            { STAY,     T_IDLE, &CTestMachine::JobRecord       },
        };
        // T_BUSY: no rows, every signal meets the default
        static constexpr JobRow busy[] = {
            { 0,        T_BUSY, &CTestMachine::JobRecord       },
        };
        // T_DONE
        static constexpr JobRow done[] = {
            { 1,        T_DONE, &CTestMachine::JobDisregardSig },
            { FINISH,   T_IDLE, &CTestMachine::JobRecord       },
        };
        // clang-format on
        static_assert(RowCountMatches(idle) && RowCountMatches(busy) && RowCountMatches(done));
        static constexpr StateEntry states[] = { { idle, "T_IDLE" }, { busy, "T_BUSY" }, { done, "T_DONE" } };
        return states;
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_seen;
};

// A new signal without payload, or with a copy of `text` as payload.
inline CTRXSignal* MakeSignal(std::int32_t number, const std::string& text = "")
{
    return new CTRXSignal(number, CopyPayload(text.data(), static_cast<std::int32_t>(text.size())),
                          static_cast<std::int32_t>(text.size()));
}
