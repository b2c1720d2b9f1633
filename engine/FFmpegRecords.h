#pragma once
// The two records through which a task receives a file's settings, and their
// application to a task through the option language.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineEvents.h"

namespace kv::engine {

class TCustomFFmpeg;

// A stretch of the output in microseconds, [Start, End].
struct TTimeRange {
    std::int64_t Start, End;
};

// A field at its reset value means "not set": the engine's own default stays.
struct TInputOptions {
    std::string FileName;
    std::string ForceFormat;
    std::int32_t StartTime = -1;     // ms
    std::int64_t StartTimeUS = -1;   // microseconds, wins over StartTime
    std::int32_t ProgramID = -1;
    std::string ExtOptions;          // one "name=value" per line
};

struct TOutputOptions {
    std::string FileName;
    std::string FileExt;
    std::string ForceFormat;
    std::int32_t PacketSize = -1;
    std::int32_t MuxRate = -1;
    float MuxDelay = -1.0f;          // seconds
    float MuxPreload = -1.0f;        // seconds
    std::string AudioCodec;
    bool DisableAudio = false;
    std::int32_t AudioVolume = -1;   // 256 = unchanged
    std::int32_t AudioChannels = -1;
    std::int32_t AudioSampleRate = -1;
    std::int32_t AudioBitrate = -1;
    std::int32_t AudioBitrateTolerance = -1;
    std::string AudioLanguage;
    std::int32_t AudioSyncMethod = 0;
    std::string AudioTag;
    std::string VideoCodec;
    bool DisableVideo = false;
    std::string FrameRate;
    std::string FrameSize;
    std::string AspectRatio;
    std::int32_t CropTop = -1;
    std::int32_t CropBottom = -1;
    std::int32_t CropLeft = -1;
    std::int32_t CropRight = -1;
    std::int32_t PadTop = -1;
    std::int32_t PadBottom = -1;
    std::int32_t PadLeft = -1;
    std::int32_t PadRight = -1;
    std::int32_t PadColor = 0;       // 0x00BBGGRR, or a system colour (high byte set)
    std::int32_t GOPSize = -1;
    std::int32_t VideoBitrate = -1;
    std::int32_t VideoMaxRate = -1;
    std::int32_t VideoMinRate = -1;
    std::int32_t VideoBitrateTolerance = -1;
    std::int32_t VideoBufSize = -1;
    std::int32_t VideoSyncMethod = -1;
    std::string VideoTag;
    std::string VideoFilters;
    bool DisableSubtitle = false;
    std::string SubtitleLanguage;
    bool CopyTimestamps = false;
    std::int32_t StartTime = -1;     // ms
    std::int64_t StartTimeUS = -1;   // microseconds, wins over StartTime
    std::int32_t Duration = -1;      // ms
    std::int64_t DurationUS = -1;    // microseconds, wins over Duration
    double TimeStamp = -1.0;         // local date-time in days since 1899-12-30; 0 = now
    std::int32_t Year = -1;
    std::int32_t Track = -1;
    char Title[512] = {};
    char Author[512] = {};
    char Copyright[512] = {};
    char Comment[512] = {};
    char Album[512] = {};
    char Genre[32] = {};
    std::int32_t Target = 0;         // 0 none, 1 vcd, 2 svcd, 3 dvd
    std::int32_t TargetNorm = 0;     // 0 auto, 1 pal, 2 ntsc
    std::int32_t TargetDefaultNorm = 1;  // 1 pal, else ntsc
    bool CustomHook = false;
    bool BeforeHook = false;
    std::string HookRanges;          // "start-end" in ms, comma separated
    std::string ExtOptions;
};

void InitInputOptions(TInputOptions& options);
void InitOutputOptions(TOutputOptions& options);

// Apply a record to a task; every field goes through SetOption, so a bad value
// raises the option language's error.
void ApplyInputOptions(TCustomFFmpeg& task, const TInputOptions& options);
// `hookSink` receives the hook events the record asks for.
void ApplyOutputOptions(TCustomFFmpeg& task, const TOutputOptions& options, TTaskEventSink* hookSink);
// The fields applied whatever they hold (DisableAudio, DisableVideo, DisableSubtitle,
// CopyTimestamps, the languages, the sync methods, PadColor) come after the
// ExtOptions lines and would overwrite them: this takes each such line's value into
// its field, so that the lines of a front end that speaks the option language win.
void CarryExtOptionsIntoFields(TOutputOptions& options);
// The "newvideo", "newaudio" and "newsubtitle" lines, for the output just opened.
void ApplyNewStreamOptions(TCustomFFmpeg& task, const TOutputOptions& options);

// ExtOptions text as (name, value) pairs, one per line.
std::vector<std::pair<std::string, std::string>> SplitExtOptions(const std::string& text);
// HookRanges text as ranges in microseconds, sorted by their end.
std::vector<TTimeRange> ParseHookRanges(const std::string& text);
// The "timestamp" value of a record's TimeStamp (>= 0): a UTC date text.
std::string TimeStampText(double localDays);

}  // namespace kv::engine
