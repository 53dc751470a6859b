// The input semaphore under many producers and sleepers: every count released
// is taken exactly once, and no sleeper misses the wake that was meant for it.
#include "fsm/InputSemaphore.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using testsupport::WaitFor;

TEST(InputSemaphore, CountsReleasedInBatchesAreEachTakenOnceBySleepingTakers)
{
    CInputSemaphore semaphore;
    constexpr int Takers = 3;
    constexpr int EachTakes = 20000;
    std::atomic<int> taken { 0 };
    std::vector<std::thread> takers;
    for (int t = 0; t < Takers; ++t) {
        takers.emplace_back([&] {
            for (int i = 0; i < EachTakes; ++i) {
                semaphore.Acquire();
                taken.fetch_add(1);
            }
        });
    }
    // Two producers, one releasing single counts and one batches of up to 7, so
    // that releases meet takers that are asleep, on their way to sleep and busy.
    constexpr int Total = Takers * EachTakes;
    std::thread singles([&] {
        for (int i = 0; i < Total / 2; ++i) {
            semaphore.Release();
        }
    });
    std::thread batches([&] {
        for (int left = Total - Total / 2; left > 0;) {
            const int batch = std::min(left, 1 + left % 7);
            semaphore.Release(static_cast<std::size_t>(batch));
            left -= batch;
            if (left % 64 == 0) {
                std::this_thread::yield();
            }
        }
    });
    singles.join();
    batches.join();
    const bool allTaken = WaitFor([&] { return taken.load() == Total; }, std::chrono::seconds(60));
    EXPECT_TRUE(allTaken) << taken.load() << " of " << Total << " taken";
    if (!allTaken) {
        semaphore.Release(Total);  // lets stuck takers end so that the test can
    }
    for (auto& taker : takers) {
        taker.join();
    }

    // No count is left over: a further taker sleeps until the next release.
    std::atomic<bool> woke { false };
    std::thread last([&] {
        semaphore.Acquire();
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(woke.load());
    semaphore.Release();
    EXPECT_TRUE(WaitFor([&] { return woke.load(); }));
    last.join();
}
