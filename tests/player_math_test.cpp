// The arithmetic of playback: picture placement, picture timing, position reports
// and seek targets.
#include <gtest/gtest.h>

#include <cstdint>

#include "player/PlaybackMath.h"

using namespace kv::player;

namespace {

TEST(PlaybackMath, PictureIsCentredWithItsAspectAndAnEvenComputedSide)
{
    struct Case {
        float sampleAspect;
        int width, height, drawWidth, drawHeight;
        TPictureRect expected;
    } cases[] = {
        {64.0f / 45, 720, 576, 400, 300, {0, 38, 400, 224}},  // 16:9 in 4:3: bars above and below
        {1.0f, 640, 480, 400, 225, {50, 0, 300, 225}},        // 4:3 in 16:9: bars left and right
        {0.0f, 320, 240, 400, 300, {0, 0, 400, 300}},         // unknown sample aspect: square pixels
        {-1.0f, 320, 240, 640, 480, {0, 0, 640, 480}},
        {1.0f, 320, 240, 401, 301, {0, 0, 400, 301}},         // 401.33 rounds to 401, made even
        {64.0f / 45, 720, 576, 401, 301, {0, 37, 401, 226}},  // the drawing width itself may be odd
    };
    for (const Case& c : cases) {
        const TPictureRect r = FitPicture(DisplayAspect(c.sampleAspect, c.width, c.height), c.drawWidth, c.drawHeight);
        EXPECT_EQ(r.X, c.expected.X) << c.width << "x" << c.height << " in " << c.drawWidth << "x" << c.drawHeight;
        EXPECT_EQ(r.Y, c.expected.Y) << c.width << "x" << c.height << " in " << c.drawWidth << "x" << c.drawHeight;
        EXPECT_EQ(r.Width, c.expected.Width) << c.width << "x" << c.height << " in " << c.drawWidth << "x" << c.drawHeight;
        EXPECT_EQ(r.Height, c.expected.Height) << c.width << "x" << c.height << " in " << c.drawWidth << "x" << c.drawHeight;
    }
}

TEST(PlaybackMath, PicturesFollowTheSoundWithinLimits)
{
    // The last picture (time 1.0) was due at wall clock 100.0 and came 40 ms after its predecessor.
    struct Case {
        const char* what;
        double pts;
        bool followMaster;
        double master;
        double expectedDelay;
        double expectedLastDelay;
    } cases[] = {
        {"no sound: the gap between pictures", 1.04, false, 0, 0.04, 0.04},
        {"in step with the sound", 1.04, true, 1.04, 0.04, 0.04},
        {"ahead of the sound: waits twice as long", 1.04, true, 0.90, 0.08, 0.04},
        {"behind the sound: at once", 1.04, true, 1.20, 0.01, 0.04},
        {"ten seconds or more apart: no correction", 1.04, true, 20.0, 0.04, 0.04},
        {"a gap of two seconds or more takes the last gap", 3.50, true, 3.50, 0.04, 0.04},
        {"a picture not after the last takes the last gap", 0.50, false, 0, 0.04, 0.04},
        {"a longer gap is remembered", 1.10, false, 0, 0.10, 0.10},
    };
    for (const Case& c : cases) {
        TVideoTiming timing{100.0, 1.0, 0.04};
        EXPECT_NEAR(ComputeTargetDelay(timing, c.pts, c.followMaster, c.master, 100.0), c.expectedDelay, 1e-9)
            << c.what;
        EXPECT_NEAR(timing.FrameLastDelay, c.expectedLastDelay, 1e-9) << c.what;
        EXPECT_EQ(timing.FrameLastPts, c.pts) << c.what;
    }
    // Late pictures make the timer catch up instead of piling up delay.
    TVideoTiming timing{100.0, 1.0, 0.04};
    EXPECT_NEAR(ComputeTargetDelay(timing, 1.04, true, 1.04, 100.5), 0.01, 1e-9);
    EXPECT_NEAR(timing.FrameTimer, 100.04, 1e-9);
}

TEST(PlaybackMath, PositionsAreReportedWhenTheyMoveMoreThanTenMilliseconds)
{
    struct Case {
        std::int64_t last, position, duration;
        bool reported;
        std::int64_t newLast;
    } cases[] = {
        {NoPosition, 0, 2000000, true, 0},
        {1000000, 1005000, 2000000, false, 1000000},
        {1000000, 1015000, 2000000, true, 1015000},
        {1000000, 985000, 2000000, true, 985000},  // backwards after a seek
        {1000000, 1010000, 2000000, false, 1000000},
        {1995000, 2100000, 2000000, true, 2000000},  // past the end: the end, always reported
        {2000000, 2100000, 2000000, false, 2000000},
        {1000000, 5000000, -1, true, 5000000},  // unknown duration: no limit
    };
    for (const Case& c : cases) {
        std::int64_t last = c.last;
        EXPECT_EQ(NextPosition(last, c.position, c.duration), c.reported) << c.last << " -> " << c.position;
        EXPECT_EQ(last, c.newLast) << c.last << " -> " << c.position;
    }
}

TEST(PlaybackMath, SeeksStayWithinTheFileAndCountFromItsStart)
{
    struct Case {
        std::int64_t position, duration, start;
        bool durationKnown, startKnown;
        std::int64_t target;
    } cases[] = {
        {1000000, 2000000, 0, true, true, 1000000},
        {5000000, 2000000, 0, true, true, 2000000},
        {5000000, 2000000, 1400000, true, true, 3400000},
        {5000000, 0, 0, false, false, 5000000},
        {500000, 2000000, 0, true, false, 500000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SeekTarget(c.position, c.duration, c.start, c.durationKnown, c.startKnown), c.target) << c.position;
}

}  // namespace
