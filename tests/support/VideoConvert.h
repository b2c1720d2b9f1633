#pragma once
// Conversions of generated clips through one task, driven the way the engine
// component drives it, and decoding of the results for the video path tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/rational.h>
}

#include "engine/FFmpeg.h"

namespace kv::test {

using TOptionList = std::vector<std::pair<std::string, std::string>>;

// Loads the engine's libraries (a failed assertion when they cannot be loaded) and
// quiets their own log unless KV_TEST_LIBRARY_LOG is set.
void LoadEngineLibraries();

struct TProgress {
    int FrameNumber, CurrentDuration;
    float Quality;
    std::int64_t CurrentSize;
};

// Records the task's events; the hook and preview answers come from the functions.
class TRecordingSink : public engine::TTaskEventSink {
public:
    std::vector<std::pair<int, std::string>> Lines;
    std::vector<TProgress> Progress;
    std::function<void(engine::TCustomFFmpeg*)> OnProgress;
    std::function<void(std::int64_t, engine::THookAction&)> BeforeHook;
    std::function<void(media::TBitmap&, int, std::int64_t, bool&, bool&)> CustomHook;
    std::function<void(media::TBitmap&, int, std::int64_t)> PreviewBitmap;

    void DoBeforeHook(engine::TCustomFFmpeg*, std::int64_t pts, engine::THookAction& action) override;
    void DoCustomHook(engine::TCustomFFmpeg*, media::TBitmap& bitmap, int frameNumber, std::int64_t pts,
                      bool& update, bool& stopHook) override;
    void DoLog(engine::TCustomFFmpeg*, engine::TLogLevel level, const std::string& message) override;
    void DoPreviewBitmap(engine::TCustomFFmpeg*, media::TBitmap& bitmap, int frameNumber, std::int64_t pts) override;
    void DoProgress(engine::TCustomFFmpeg* task, int frameNumber, int, int currentDuration, float quality, float,
                    std::int64_t currentSize, int) override;
    void DoTerminate(engine::TCustomFFmpeg*) override {}
    bool Has(const std::string& text) const;
    int Count(const std::string& text) const;
    bool HasPrefix(const std::string& text) const { return CountPrefix(text) > 0; }
    int CountPrefix(const std::string& text) const;
};

struct TConvertResult {
    bool Opened = false;
    bool Finished = false;
    bool Failed = false;   // the transcode threw
    std::string Message;   // the open or transcode error
};

using TInputList = std::vector<std::pair<std::string, TOptionList>>;
using TTaskStep = std::function<void(engine::TCustomFFmpeg&)>;

// Input options, open inputs, output options, open output, `before`, transcode,
// `after`, close and clean up. Inputs are found in the test media folder unless absolute.
// The task logs at `logLevel`, a number of the "v" option (3 when KV_TEST_VERBOSE is
// set), and reports every progress.
TConvertResult Convert(TRecordingSink& sink, const TInputList& inputs, const std::string& output,
                       const TOptionList& outputOptions, int logLevel = 1, const TTaskStep& before = {},
                       const TTaskStep& after = {});
TConvertResult Convert(TRecordingSink& sink, const std::string& input, const TOptionList& inputOptions,
                       const std::string& output, const TOptionList& outputOptions, const TTaskStep& before = {},
                       const TTaskStep& after = {});

struct TDecodedVideo {
    bool Ok = false;
    AVCodecID Codec = AV_CODEC_ID_NONE;
    int Width = 0, Height = 0;
    int PixelFormat = -1;              // of the decoded pictures
    AVRational SampleAspect{0, 1};     // pixel shape the pictures carry (0:1 = none)
    AVRational FrameRate{0, 1};
    int Frames = 0;
    std::vector<std::int64_t> Pts;                 // microseconds, per decoded picture
    std::vector<std::vector<std::uint8_t>> Luma;   // Width x Height per picture, when asked for
    std::int64_t PacketBytes = 0;
    int OtherStreamPackets = 0;                    // packets of streams other than the video
    std::vector<AVCodecID> StreamCodecs;
};

TDecodedVideo DecodeVideo(const std::string& file, bool keepLuma = false);

// Mean luma of the `size` x `size` square around (x, y) of picture `frame`.
int LumaAround(const TDecodedVideo& video, int frame, int x, int y, int size = 4);

std::string MediaFile(const std::string& name);
// `count` copies of `file` under `folder`, each a file of its own with the same name
// (in0/, in1/, ...): the list refuses the same file twice.
std::vector<std::string> SeparateCopies(const std::string& file, const std::filesystem::path& folder, int count);

// A fixture with the engine libraries loaded and a fresh output folder per test.
class TOutputFolderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadEngineLibraries(); }
    void SetUp() override;
    void TearDown() override;
    std::string Out(const std::string& name) const { return (dir / name).string(); }

    std::filesystem::path dir;
    TRecordingSink sink;
};

}  // namespace kv::test
