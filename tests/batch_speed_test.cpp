// Time left and speed of a batch: the arithmetic behind "Elapsed   Left about   Speed",
// and a running time that leaves pauses out.
#include <gtest/gtest.h>

#include <chrono>

#include "workflow/BatchSpeed.h"

using namespace kv::workflow;

TEST(BatchSpeed, Figures)
{
    const struct { std::int64_t Elapsed, Converted, Total; const char* Text; } cases[] = {
        // Blank for the first two seconds, and while nothing has been converted.
        {0, 0, 10000, ""},
        {1999, 5000, 10000, ""},
        {5000, 0, 10000, ""},
        {2000, 1000, 10000, "Elapsed 00:00:02   Left about 00:00:18   Speed 0.5x"},
        {4000, 10000, 30000, "Elapsed 00:00:04   Left about 00:00:08   Speed 2.5x"},
        {3999, 7998, 8000, "Elapsed 00:00:03   Left about 00:00:01   Speed 2.0x"},  // rounded up
        {2500, 1000, 1000, "Elapsed 00:00:02   Left about 00:00:00   Speed 0.4x"},  // all done
        // More converted than the batch was thought to hold: nothing left, not a negative time.
        {3000, 5000, 4000, "Elapsed 00:00:03   Left about 00:00:00   Speed 1.7x"},
        {3661000, 3661000, 3 * 3661000, "Elapsed 01:01:01   Left about 02:02:02   Speed 1.0x"},
        {360000000, 360000000, 720000000, "Elapsed 100:00:00   Left about 100:00:00   Speed 1.0x"},
        // Barely moving through a huge batch: the time left stops at the largest count.
        {2000, 1, 1000000000000, "Elapsed 00:00:02   Left about 596523:14:07   Speed 0.0x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Elapsed << " " << c.Converted << " " << c.Total);
        const TBatchSpeed s = MeasureSpeed(c.Elapsed, c.Converted, c.Total);
        EXPECT_EQ(SpeedText(s), c.Text);
        EXPECT_EQ(s.Known, *c.Text != '\0');
    }
}

TEST(BatchSpeed, ClockLeavesPausesOut)
{
    using namespace std::chrono_literals;
    const auto t0 = TBatchClock::TClock::time_point{} + 1h;
    TBatchClock clock;
    clock.Start(t0);
    EXPECT_EQ(clock.ElapsedMs(t0 + 1500ms), 1500);
    clock.Pause(t0 + 1500ms);
    clock.Pause(t0 + 4000ms);  // already paused: the first pause holds
    EXPECT_EQ(clock.ElapsedMs(t0 + 9000ms), 1500);
    clock.Resume(t0 + 10000ms);
    clock.Resume(t0 + 10500ms);  // already running: the first resume holds
    EXPECT_EQ(clock.ElapsedMs(t0 + 10700ms), 2200);
    clock.Start(t0 + 20000ms);  // a new batch starts from nothing
    EXPECT_EQ(clock.ElapsedMs(t0 + 20250ms), 250);
}
