// Measures the state-machine framework: the cost of one table dispatch, and the
// throughput and latency of signals handed in through PutExternal and handled
// by the input thread (the road every received datagram takes).
//   fsm_bench [signals]
#include "fsm/ApplFsm.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum : std::int32_t { S_RUN = 1 };
constexpr std::int32_t DATA = 59352;

class CBenchMachine : public CApplFsm<CBenchMachine, CTRXSignal> {
public:
    CBenchMachine() : CApplFsm("bench", StateTable(), S_RUN, nullptr, 0) {}
    ~CBenchMachine() override { Stop(); }

    std::atomic<long> handled { 0 };
    std::atomic<long long> latencyNs { 0 };

    void JobDisregardSig(CTRXSignal** signal) { (*signal)->ReleasePayload(); }
    void JobData(CTRXSignal** signal)
    {
        Clock::time_point sent;
        std::memcpy(&sent, (*signal)->Payload(), sizeof sent);
        latencyNs += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sent).count();
        (*signal)->ReleasePayload();
        ++handled;
    }

private:
    static const StateEntry* StateTable()
    {
        // clang-format off
        // S_RUN
        static constexpr JobRow run[] = {
            { 4,       S_RUN, &CBenchMachine::JobDisregardSig },
            { 50170,   S_RUN, &CBenchMachine::JobDisregardSig },
            { 50171,   S_RUN, &CBenchMachine::JobDisregardSig },
            { 59351,   S_RUN, &CBenchMachine::JobDisregardSig },
            { DATA,    S_RUN, &CBenchMachine::JobData         },
        };
        // clang-format on
        static_assert(RowCountMatches(run));
        static constexpr StateEntry states[] = { { run, "RUN" } };
        return states;
    }
};

CTRXSignal* StampedSignal()
{
    const Clock::time_point now = Clock::now();
    char* payload = new char[13];
    std::memcpy(payload, &now, sizeof now);
    return new CTRXSignal(DATA, payload, 13);
}

void BenchDispatch(long count)
{
    CBenchMachine machine;
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        CTRXSignal* signal = StampedSignal();
        machine.Dispatch(&signal);
        DeleteSignal(signal);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("dispatch without threads : %10.0f signals/s  %8.1f ns/signal (allocation included)\n",
                count / seconds, seconds * 1e9 / count);
}

void BenchThreaded(long count, int producers)
{
    CBenchMachine machine;
    machine.Start(0);
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&machine, count, producers] {
            for (long i = 0; i < count / producers; ++i) {
                CTRXSignal* signal = StampedSignal();
                machine.PutExternal(&signal, true);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const long expected = (count / producers) * producers;
    while (machine.handled < expected) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("PutExternal -> job, %d producer(s): %10.0f signals/s  mean queue latency %8.1f us (burst)\n",
                producers, expected / seconds, machine.latencyNs / 1e3 / expected);
}

void BenchPaced(int rateHz, int seconds)
{
    CBenchMachine machine;
    machine.Start(0);
    const long count = static_cast<long>(rateHz) * seconds;
    const auto period = std::chrono::nanoseconds(1000000000L / rateHz);
    auto next = Clock::now();
    for (long i = 0; i < count; ++i) {
        next += period;
        std::this_thread::sleep_until(next);
        CTRXSignal* signal = StampedSignal();
        machine.PutExternal(&signal, true);
    }
    while (machine.handled < count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("paced at %d Hz for %d s          : mean hand-over latency %8.1f us\n", rateHz, seconds,
                machine.latencyNs / 1e3 / count);
}

}  // namespace

int main(int argc, char** argv)
{
    const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
    BenchDispatch(count);
    BenchThreaded(count, 1);
    BenchThreaded(count, 2);
    BenchPaced(200, 2);
    return 0;
}
