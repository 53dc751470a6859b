// A table-driven state machine: numbered states, one static job table per
// state, and the dispatch of one signal through the current state's table.
// Dispatch runs in the machine's input thread only.
#pragma once

#include "fsm/FsmBase.h"

#include <cstddef>
#include <cstdint>

template <class App, class Signal>
class CFsm : public CFsmBase {
public:
    // A job: a member function of the application given the address of the
    // signal pointer. A job that keeps or forwards the signal sets the pointer to null.
    using Job = void (App::*)(Signal**);

    // Row 0 of a job table is its header: key = number of rows that follow,
    // next state and job = the default for signals that no row names.
    struct JobRow {
        std::int32_t key;
        std::int32_t nextState;
        Job job;
    };

    // Entry k-1 of the state table describes state k.
    struct StateEntry {
        const JobRow* jobs;
        const char* name;
    };

    // True when the header's row count matches the table; use it in a static_assert
    // beside each job table so a miscounted header cannot compile.
    template <std::size_t N>
    static constexpr bool RowCountMatches(const JobRow (&table)[N])
    {
        return table[0].key == static_cast<std::int32_t>(N - 1);
    }

    CFsm(const char* name, const StateEntry* stateTable, std::int32_t initialState, LogTrace* trace,
         std::uint8_t debugMask)
        : CFsmBase(name, trace, debugMask), m_currentState(initialState), m_stateTable(stateTable)
    {
    }

    // Runs the job that the current state's table names for the signal (or the
    // default job), then moves to the row's next state. True when the state changed.
    bool Dispatch(Signal** signal)
    {
        m_currentSignal = signal;
        const std::int32_t number = (*signal)->GetNumber();
        const std::int32_t state = m_currentState;
        const JobRow* table = m_stateTable[state - 1].jobs;

        const JobRow* row = &table[0];
        for (std::int32_t i = 1; i <= table[0].key; ++i) {
            if (table[i].key == number) {
                row = &table[i];
                break;
            }
        }
        const bool rowFound = row != &table[0];
        if (m_trace != nullptr) {
            TraceDispatch(number, StateName(state), StateName(row->nextState), rowFound);
        }

        static_cast<App*>(this)->BeforeJob(number);
        (static_cast<App*>(this)->*(row->job))(signal);
        m_currentState = row->nextState;
        return m_currentState != state;
    }

    // Called by Dispatch before the job of every signal. An application that
    // must finish something before certain signals declares its own (public)
    // BeforeJob, which hides this one.
    void BeforeJob(std::int32_t /*number*/) {}

    std::int32_t CurrentState() const { return m_currentState; }
    const char* StateName(std::int32_t state) const { return m_stateTable[state - 1].name; }

protected:
    std::int32_t m_currentState;
    const StateEntry* const m_stateTable;
    Signal** m_currentSignal = nullptr;
};
