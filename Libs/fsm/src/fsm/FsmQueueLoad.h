// The bound of a state machine's external queue and the load that counts
// against it. A load is shared: a machine that relays network input to another
// watches the other's load and may outlive it. Any thread may read a load; only
// the input object that owns it changes it, under its external-queue lock.
#pragma once

#include <atomic>
#include <cstddef>

// Signals from the network are refused once the external queue holds this many
// signals, or once a signal would take the queued bytes (signal records and
// payloads) beyond the byte bound, whichever comes first. 16384 signals are
// over a minute of heave at 200 Hz behind a stalled job; the byte bound keeps
// large datagrams (up to 65535 bytes) from taking more than a few tens of MiB.
constexpr std::size_t ExternalQueueSignalBound = 16384;
constexpr std::size_t ExternalQueueByteBound = std::size_t { 32 } << 20;

struct CQueueLoad {
    std::atomic<std::size_t> signalCount { 0 };
    std::atomic<std::size_t> byteCount { 0 };

    // True when a signal of `size` bytes from the network would be refused.
    bool Refuses(std::size_t size) const
    {
        return signalCount.load() >= ExternalQueueSignalBound || byteCount.load() + size > ExternalQueueByteBound;
    }

    // Below half of both bounds: the queue has room again, an episode of drops is over.
    bool Drained() const
    {
        return signalCount.load() < ExternalQueueSignalBound / 2 && byteCount.load() < ExternalQueueByteBound / 2;
    }
};
