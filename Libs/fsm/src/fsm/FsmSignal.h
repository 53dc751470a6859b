// The signals that carry every input of a state machine: the base signal, the
// timer record of a running one-shot timer, and CTRXSignal, the signal jobs
// receive, with an optional owned byte payload.
//
// Ownership: a signal and its payload belong to whoever holds the signal (its
// producer, then a queue, then the job). The destructors do NOT release the
// payload; the holder calls ReleasePayload() before it deletes a signal (or
// uses DeleteSignal, which does both). Signals are not thread-safe objects:
// one thread holds a signal at a time.
#pragma once

#include <cstdint>

class CFsmBase;

class CFsmSignal {
public:
    explicit CFsmSignal(std::int32_t number);
    CFsmSignal(const CFsmSignal&) = default;
    CFsmSignal& operator=(const CFsmSignal&) = delete;
    virtual ~CFsmSignal() = default;

    std::int32_t GetNumber() const { return m_number; }
    CFsmBase* Sender() const { return m_sender; }
    std::uint8_t Origin() const { return m_origin; }

    char m_text[100];         // carried along, not interpreted
    char m_type[10];          // ten 'X' for ordinary signals, ten 'T' for timer records
    std::int32_t m_number;
    CFsmBase* m_sender = nullptr;
    std::uint8_t m_origin = 0;  // 1 for timer records and signals made from an expired timer
};

// One running timer; lives only in a machine's timer list.
class CFsmTimeSignal : public CFsmSignal {
public:
    // Takes ownership of `payload` (a new[] array, may be null).
    CFsmTimeSignal(std::int32_t number, std::int32_t timerSignalNumber, std::int32_t delayMs,
                   char* payload, std::int32_t length);
    CFsmTimeSignal(const CFsmTimeSignal&) = delete;
    ~CFsmTimeSignal() override;

    // Counts `elapsedMs` off the remaining delay; true once it is below 0.
    bool Tick(std::int32_t elapsedMs);
    void ReleasePayload();

    std::int32_t m_timerSignalNumber;
    std::int32_t m_remainingDelay;
    std::int32_t m_length;
    char* m_payload;
};

class CTRXSignal : public CFsmSignal {
public:
    // Both take ownership of `payload` (a new[] array of `length` bytes, may be null).
    CTRXSignal(std::int32_t number, CFsmBase* sender, char* payload, std::int32_t length);
    CTRXSignal(std::int32_t number, char* payload, std::int32_t length);
    // Deep copy: a payload of length 1 or more is copied into a new array.
    CTRXSignal(const CTRXSignal& other);
    // The signal an expired timer delivers: its timer signal number and a copy of its payload.
    explicit CTRXSignal(const CFsmTimeSignal& timer);
    CTRXSignal& operator=(const CTRXSignal&) = delete;
    ~CTRXSignal() override;

    char* Payload() const { return m_payload; }
    std::int32_t Length() const { return m_length; }

    // Deletes the payload array and leaves the signal without one.
    void ReleasePayload();

    // Hands the payload array over to the caller; the signal keeps none.
    char* TakePayload();

private:
    std::int32_t m_length;
    char* m_payload;
};

// Releases the signal's payload, deletes the signal and nulls the pointer.
void DeleteSignal(CTRXSignal*& signal);

// A new[] copy of `length` bytes, or null for a length below 1.
char* CopyPayload(const char* bytes, std::int32_t length);
