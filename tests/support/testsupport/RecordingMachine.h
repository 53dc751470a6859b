// A state machine stand-in for tests of code that hands signals to a machine:
// it keeps every signal given to PutExternal (thread-safe) so a test can check
// number, sender and payload. Link qhv::fsm to use it.
#pragma once

#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class RecordingMachine : public CFsmBase {
public:
    struct Received {
        std::int32_t number;
        CFsmBase* sender;
        bool hasPayload;
        std::string payload;
        bool atBack;
    };

    explicit RecordingMachine(const char* name = "RECORDER") : CFsmBase(name, nullptr, 0) {}
    ~RecordingMachine() override = default;

    void PutExternal(CTRXSignal** signal, bool atBack) override
    {
        CTRXSignal* taken = *signal;
        *signal = nullptr;  // this machine owns it now
        Received entry { taken->GetNumber(), taken->Sender(), taken->Payload() != nullptr,
                         taken->Payload() != nullptr ? std::string(taken->Payload(), taken->Length()) : std::string(),
                         atBack };
        DeleteSignal(taken);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.push_back(std::move(entry));
    }

    std::vector<Received> Signals() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

    std::size_t Count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received.size();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Received> m_received;
};

}  // namespace testsupport
