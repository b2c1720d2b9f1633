// Frame hooks and previews during a conversion: time ranges and the before-hook
// event gating the plug-in chain, the custom hook's bitmap round trip, and the
// rate-limited preview bitmaps. The plug-in paints a bright box at (100, 60), 40 x 40.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "media/FFmpegLoader.h"
#include "tests/support/VideoConvert.h"

using namespace kv::engine;
using namespace kv::test;
namespace fs = std::filesystem;

namespace {

const std::string BoxHook = std::string(KV_TEST_FIXTURE_DIR) + "/hooks/kvtest_box_hook.so";

class FrameHooksTest : public TOutputFolderTest {
protected:
    std::string Out() const { return TOutputFolderTest::Out("h.avi"); }

    // Converts the 50-picture clip with the box plug-in (when asked) and returns, per
    // output picture, whether the box is there: whether the luma in its middle differs
    // from that of a conversion without hooks (the clip's background sweeps through
    // every level, the box's is fixed).
    std::vector<bool> Boxes(bool plugin, const std::function<void(TCustomFFmpeg&)>& before,
                            const std::function<void(TCustomFFmpeg&)>& after = {})
    {
        const std::vector<int> base = plugin || before ? Levels(false, {}, {}) : std::vector<int>{};
        const std::vector<int> levels = Levels(plugin, before, after);
        std::vector<bool> boxes;
        for (std::size_t f = 0; f < levels.size() && f < base.size(); ++f)
            boxes.push_back(std::abs(levels[f] - base[f]) > 8);
        return boxes;
    }
    std::vector<int> Levels(bool plugin, const std::function<void(TCustomFFmpeg&)>& before,
                            const std::function<void(TCustomFFmpeg&)>& after)
    {
        TOptionList options = {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", ""}};
        if (plugin) options.emplace_back("vhook", BoxHook + " -x 100 -y 60 -w 40 -h 40 -l 250");
        const auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out(), options, before, after);
        EXPECT_TRUE(r.Finished) << r.Message;
        const TDecodedVideo v = DecodeVideo(Out(), true);
        std::vector<int> levels;
        for (int f = 0; f < v.Frames; ++f) levels.push_back(LumaAround(v, f, 120, 80));
        return levels;
    }
    static std::vector<bool> Expected(const std::function<bool(int)>& boxed)
    {
        std::vector<bool> e;
        for (int f = 0; f < 50; ++f) e.push_back(boxed(f));
        return e;
    }
};

TEST_F(FrameHooksTest, TimeRangesGateThePlugin)
{
    // Pictures are 40 ms apart: [0.8 s, 1.2 s] holds pictures 20 to 30.
    bool usingAfter = true;
    auto boxes = Boxes(
        true,
        [](TCustomFFmpeg& task) {
            task.TimeRanges = {{800000, 1200000}};
        },
        [&](TCustomFFmpeg& task) { usingAfter = task.UsingVHook; });
    EXPECT_EQ(boxes, Expected([](int f) { return f >= 20 && f <= 30; }));
    EXPECT_FALSE(usingAfter) << "passing the last range switches the hooks off";

    int index = -1;
    boxes = Boxes(
        true,
        [](TCustomFFmpeg& task) {
            task.TimeRanges = {{400000, 600000}, {1200000, 1400000}};
        },
        [&](TCustomFFmpeg& task) { index = task.TimeRangeIndex; });
    EXPECT_EQ(boxes, Expected([](int f) { return (f >= 10 && f <= 15) || (f >= 30 && f <= 35); }));
    EXPECT_EQ(index, 1);
}

TEST_F(FrameHooksTest, BeforeHookAnswersIgnoreAndStop)
{
    std::vector<std::int64_t> calls;
    sink.BeforeHook = [&](std::int64_t pts, THookAction& action) {
        calls.push_back(pts);
        const int frame = static_cast<int>(calls.size()) - 1;
        action = frame == 40 ? haStop : frame % 2 ? haIgnore : haContinue;
    };
    auto boxes = Boxes(true, [&](TCustomFFmpeg& task) { task.BeforeHookHandler = &sink; });
    EXPECT_EQ(boxes, Expected([](int f) { return f < 40 && f % 2 == 0; }));
    ASSERT_EQ(calls.size(), 41u) << "no calls after haStop";
    EXPECT_EQ(calls[0], 0);
    EXPECT_EQ(calls[10], 400000);

    calls.clear();
    sink.BeforeHook = [&](std::int64_t pts, THookAction&) {
        calls.push_back(pts);
        if (calls.size() == 5) throw std::runtime_error("boom");
    };
    boxes = Boxes(true, [&](TCustomFFmpeg& task) { task.BeforeHookHandler = &sink; });
    EXPECT_EQ(boxes, Expected([](int f) { return f < 4; }));
    EXPECT_EQ(calls.size(), 5u);
    EXPECT_TRUE(sink.Has("Error occurs OnBeforeHook: boom"));
}

TEST_F(FrameHooksTest, CustomHookEditsTheBitmapAndTheOutputShowsIt)
{
    enum TMode { Paint, NoUpdate, StopAtFive, Raise };
    for (TMode mode : {Paint, NoUpdate, StopAtFive, Raise}) {
        SCOPED_TRACE(mode);
        sink.Lines.clear();
        std::vector<int> numbers;
        std::vector<std::int64_t> stamps;
        sink.CustomHook = [&](kv::media::TBitmap& bitmap, int frameNumber, std::int64_t pts, bool& update,
                              bool& stop) {
            numbers.push_back(frameNumber);
            stamps.push_back(pts);
            EXPECT_TRUE(update);
            EXPECT_FALSE(stop);
            ASSERT_EQ(bitmap.Width(), 320);
            // Black on bright pictures, white on dark ones: always far from what was there.
            const std::uint8_t paint = bitmap.ScanLine(80)[3 * 120 + 1] > 128 ? 0 : 255;
            for (int y = 60; y < 100; ++y)
                for (int x = 100; x < 140; ++x) std::fill_n(bitmap.ScanLine(y) + 3 * x, 3, paint);
            if (mode == NoUpdate) update = false;
            if (mode == StopAtFive && frameNumber == 5) stop = true;
            if (mode == Raise) throw std::runtime_error("hook failed");
        };
        const auto boxes = Boxes(false, [&](TCustomFFmpeg& task) { task.CustomHookHandler = &sink; });
        switch (mode) {
        case Paint:
            EXPECT_EQ(boxes, Expected([](int) { return true; }));
            break;
        case StopAtFive:
            EXPECT_EQ(boxes, Expected([](int f) { return f < 5; }));
            break;
        case NoUpdate:
        case Raise:
            EXPECT_EQ(boxes, Expected([](int) { return false; }));
            break;
        }
        const std::size_t expectedCalls = mode == StopAtFive ? 5 : 50;
        ASSERT_EQ(numbers.size(), expectedCalls);
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            EXPECT_EQ(numbers[i], static_cast<int>(i) + 1);
            EXPECT_EQ(stamps[i], static_cast<std::int64_t>(i) * 40000);
        }
        if (mode == Raise) {
            EXPECT_EQ(sink.Count("Error occurs OnCustomHook: hook failed"), 50);
        }
    }
}

TEST_F(FrameHooksTest, DeinterlacedPicturesStillCarryTheHooks)
{
    std::vector<int> numbers;
    sink.CustomHook = [&](kv::media::TBitmap&, int frameNumber, std::int64_t, bool&, bool&) {
        numbers.push_back(frameNumber);
    };
    const auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out(), {{"vcodec", "mpeg4"}, {"an", ""}, {"deinterlace", ""}},
                           [&](TCustomFFmpeg& task) { task.CustomHookHandler = &sink; });
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_FALSE(sink.Has("Deinterlacing failed.")) << "the filter gives one picture for each";
    EXPECT_EQ(numbers.size(), 50u);
    EXPECT_EQ(DecodeVideo(Out()).Frames, 50);
}

TEST_F(FrameHooksTest, PreviewBitmapsAtMostOncePerInterval)
{
    struct TPreview {
        int Number;
        std::int64_t Pts;
    };
    std::vector<TPreview> previews;
    sink.PreviewBitmap = [&](kv::media::TBitmap& bitmap, int frameNumber, std::int64_t pts) {
        EXPECT_EQ(bitmap.Width(), 176);
        EXPECT_EQ(bitmap.Height(), 144);
        previews.push_back({frameNumber, pts});
    };
    const TOptionList options = {{"vcodec", "mpeg4"}, {"s", "176x144"}, {"an", ""}};
    for (std::int64_t interval : {std::int64_t{-1}, std::int64_t{3600} * 1000000}) {
        previews.clear();
        const auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out(), options, [&](TCustomFFmpeg& task) {
            task.PreviewFlags = 2;
            task.PreviewBitmapHandler = &sink;
            task.PreviewIntervalUS = interval;
        });
        ASSERT_TRUE(r.Finished) << r.Message;
        if (interval < 0) {
            ASSERT_EQ(previews.size(), 50u) << "every encoded picture";
            for (std::size_t i = 0; i < previews.size(); ++i) {
                EXPECT_EQ(previews[i].Number, static_cast<int>(i) + 1);
                EXPECT_EQ(previews[i].Pts, static_cast<std::int64_t>(i) * 40000);
            }
        } else {
            ASSERT_EQ(previews.size(), 1u) << "one interval covers the whole clip";
            EXPECT_EQ(previews[0].Number, 1);
        }
    }
}

}  // namespace
