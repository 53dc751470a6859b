#include "fsm/FsmSignal.h"

#include <cstring>

CFsmSignal::CFsmSignal(std::int32_t number) : m_number(number)
{
    std::memset(m_text, 0, sizeof m_text);
    std::memset(m_type, 'X', sizeof m_type);
}

CFsmTimeSignal::CFsmTimeSignal(std::int32_t number, std::int32_t timerSignalNumber, std::int32_t delayMs,
                               char* payload, std::int32_t length)
    : CFsmSignal(number),
      m_timerSignalNumber(timerSignalNumber),
      m_remainingDelay(delayMs),
      m_length(length),
      m_payload(payload)
{
    std::memset(m_type, 'T', sizeof m_type);
    m_origin = 1;
}

CFsmTimeSignal::~CFsmTimeSignal()
{
    m_length = 0;
    m_payload = nullptr;
}

bool CFsmTimeSignal::Tick(std::int32_t elapsedMs)
{
    m_remainingDelay -= elapsedMs;
    return m_remainingDelay < 0;
}

void CFsmTimeSignal::ReleasePayload()
{
    delete[] m_payload;
    m_payload = nullptr;
    m_length = 0;
}

CTRXSignal::CTRXSignal(std::int32_t number, CFsmBase* sender, char* payload, std::int32_t length)
    : CFsmSignal(number), m_length(length), m_payload(payload)
{
    m_sender = sender;
}

CTRXSignal::CTRXSignal(std::int32_t number, char* payload, std::int32_t length)
    : CTRXSignal(number, nullptr, payload, length)
{
}

CTRXSignal::CTRXSignal(const CTRXSignal& other)
    : CFsmSignal(other), m_length(other.m_length), m_payload(CopyPayload(other.m_payload, other.m_length))
{
}

CTRXSignal::CTRXSignal(const CFsmTimeSignal& timer)
    : CFsmSignal(timer.m_timerSignalNumber),
      m_length(timer.m_length),
      m_payload(CopyPayload(timer.m_payload, timer.m_length))
{
    std::memcpy(m_text, timer.m_text, sizeof m_text);
    m_sender = timer.m_sender;
    m_origin = 1;
}

CTRXSignal::~CTRXSignal()
{
    m_length = 0;
    m_payload = nullptr;
}

void CTRXSignal::ReleasePayload()
{
    delete[] m_payload;
    m_payload = nullptr;
    m_length = 0;
}

char* CTRXSignal::TakePayload()
{
    char* payload = m_payload;
    m_payload = nullptr;
    m_length = 0;
    return payload;
}

void DeleteSignal(CTRXSignal*& signal)
{
    if (signal != nullptr) {
        signal->ReleasePayload();
        delete signal;
        signal = nullptr;
    }
}

char* CopyPayload(const char* bytes, std::int32_t length)
{
    if (bytes == nullptr || length < 1) {
        return nullptr;
    }
    char* copy = new char[length];
    std::memcpy(copy, bytes, length);
    return copy;
}
