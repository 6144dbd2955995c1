// Presentation times of live input against its arrival times.
#include <gtest/gtest.h>

#include <vector>

#include "LiveFrameClock.h"

namespace {

constexpr int64_t kPeriod = 40000;

std::vector<int64_t> stamps(const std::vector<int64_t>& arrivals) {
    LiveFrameClock clock(kPeriod);
    std::vector<int64_t> result;
    for (int64_t arrival : arrivals) result.push_back(clock.next(arrival));
    return result;
}

TEST(LiveFrameClock, JitterDoesNotReachTheStamps) {
    std::vector<int64_t> arrivals;
    for (int i = 0; i < 100; ++i) arrivals.push_back(1000000 + i * kPeriod + (i % 3) * 15000 - (i % 5) * 9000);
    std::vector<int64_t> result = stamps(arrivals);
    for (size_t i = 0; i < result.size(); ++i) EXPECT_EQ(result[i], 1000000 + static_cast<int64_t>(i) * kPeriod);
}

// Drift, bursts and stalls: stamps rise, never leave the window around the
// arrival times, step by the period slewed a few percent wherever the window
// does not force them, and in the end meet the arrival times again.
TEST(LiveFrameClock, FollowsArrivalWithinTheWindow) {
    struct Case {
        const char* what;
        std::vector<int64_t> arrivals;
    };
    Case fast{"input 3% fast", {}}, burst{"burst of 30 units", {}}, stall{"2 s stall", {}};
    for (int i = 0; i < 400; ++i) {
        fast.arrivals.push_back(i * kPeriod * 97 / 100);
        burst.arrivals.push_back(i < 30 ? i * 1000 : 30000 + (i - 30) * kPeriod);
        stall.arrivals.push_back(i * kPeriod + (i >= 50 ? 2000000 : 0));
    }
    const int64_t window = static_cast<int64_t>(LiveFrameClock::kWindowUs);
    for (const Case& c : {fast, burst, stall}) {
        std::vector<int64_t> result = stamps(c.arrivals);
        for (size_t i = 1; i < result.size(); ++i) {
            ASSERT_GT(result[i], result[i - 1]) << c.what << " at " << i;
            int64_t offset = result[i] - c.arrivals[i];
            ASSERT_LE(std::llabs(offset), window) << c.what << " at " << i;
            if (std::llabs(offset) == window) continue;
            EXPECT_GE(result[i] - result[i - 1], kPeriod * 94 / 100) << c.what << " at " << i;
            EXPECT_LE(result[i] - result[i - 1], kPeriod * 106 / 100) << c.what << " at " << i;
        }
        EXPECT_LE(std::llabs(result.back() - c.arrivals.back()), LiveFrameClock::kSlewThresholdUs + kPeriod) << c.what;
    }
}

}  // namespace
