// A state machine stand-in for the fuzz targets of receive paths: it keeps the
// number, sender and payload of the signals handed to it and frees each at once.
#pragma once

#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"

#include <cstdint>
#include <string>

namespace fuzzsupport {

class CapturingMachine : public CFsmBase {
public:
    CapturingMachine() : CFsmBase("FUZZ", nullptr, 0) {}

    void PutExternal(CTRXSignal** signal, bool atBack) override
    {
        ++count;
        number = (*signal)->GetNumber();
        sender = (*signal)->Sender();
        back = atBack;
        payload = (*signal)->Payload() != nullptr ? std::string((*signal)->Payload(), (*signal)->Length()) : "";
        DeleteSignal(*signal);  // nulls the caller's pointer: this machine took the signal
    }

    int count = 0;
    std::int32_t number = 0;
    CFsmBase* sender = nullptr;
    bool back = false;
    std::string payload;
};

}  // namespace fuzzsupport
