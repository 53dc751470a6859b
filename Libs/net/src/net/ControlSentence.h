// Control sentences "$ZELIX,<n>,...", one per UDP datagram: the number rule, the
// conversion of a received datagram into a signal for a machine, and the
// sentences the process builds. Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class CFsmBase;

// The talker word every control sentence begins with.
constexpr char ControlTalker[] = "$ZELIX";

// Offset of the signal numbers of control sentences: sentence n is signal 50000 + n.
constexpr std::int32_t ControlSignalBase = 50000;

// The signal number a received datagram stands for:
// - -1 (FSM_TIMEHANDL) when the first six bytes are not "$ZELIX" (no control sentence);
// - 50000 + n when field 2 (fields are split at ',') reads as the integer n the way
//   strtol reads it (leading white space, optional sign, digits, rest ignored);
// - nullopt when there is no field 2, it holds no digits, or 50000 + n does not fit
//   a 32-bit signed integer: such a datagram yields no signal at all.
std::optional<std::int32_t> ControlSignalNumber(const char* bytes, std::size_t length);

// The highest sentence number a received control sentence may carry. Sentences
// 0 to 1999 are the signals 50000 to 51999; the machines' own signals (database,
// termination, watchdog, timers, sensor data, reports) lie from 52000 on, and
// timer records and wake-ups below 0.
constexpr std::int32_t LastControlSentence = 1999;

// True for the numbers a datagram from the network may become on a control
// port: a control sentence (50000 to 51999), or -1 for input that is none. A
// sentence such as "$ZELIX,4020" would otherwise forge the watchdog's tick.
bool IsReceivableControlSignal(std::int32_t number);

// Turns a received datagram into a signal for `target`: the number above, a
// private copy of all `length` bytes as payload (no NUL added), `target` as
// sender; the signal goes to the back of the target's external queue unless
// that queue is at its bound (PutExternalBounded). Returns false when the
// datagram yields no signal, one that is not receivable
// (IsReceivableControlSignal), or the signal was dropped (nothing is queued then).
bool PutControlSignal(const char* bytes, std::size_t length, CFsmBase* target);

// Sentences the process builds, byte for byte (LF then CR at the end).
std::string StartSentence();                 // "$ZELIX,6,\n\r"
std::string TerminateSentence();             // "$ZELIX,24,\n\r"
std::string MessageNotifySentence();         // "$ZELIX,32\n\r"
// "$ZELIX,<number>,ON\n\r" or "...,OFF\n\r"; number 172 (heave) or 175 (P2X).
std::string StatusSentence(int number, bool on);
// "$ZELIX,173,<directory>,<file>,<interval>,<port>\n\r": the P2X logger's own start.
std::string P2XStartSentence(const std::string& directory, const std::string& fileName,
                             const std::string& interval, long port);
// "$ZELIX,170,<directory>,<file>,<interval>,<port>\n\r": the heave logger's start. A
// port of 0 or less leaves the port field empty, so the logger takes its own setting.
std::string HeaveStartSentence(const std::string& directory, const std::string& fileTemplate,
                               const std::string& interval, long port);
