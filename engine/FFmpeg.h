#pragma once
// The transcoder core of one task: the option state that the option language
// fills (read from left to right, like a command line), the run state shared with
// the engine component, and the operations that open files and transcode.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/rational.h>
#include <libswscale/swscale.h>
}

#include "engine/EngineEvents.h"
#include "engine/FFmpegException.h"
#include "engine/FFmpegRecords.h"
#include "engine/FrameHook.h"
#include "media/AvHandles.h"
#include "media/FramePreview.h"

namespace kv::engine {

// Table sizes of the option state.
constexpr int MaxFiles = 20;            // input files, output files
constexpr int MaxStreams = 20;          // streams per file in the per-file tables
constexpr int MaxStreamMaps = 400;
constexpr int MaxMetaDataMaps = 20;
constexpr int MediaTypeCount = 5;       // video, audio, data, subtitle, attachment

// Option flags of the libraries' option tables, per media type and direction.
constexpr int OptFlagEncoding = 1;
constexpr int OptFlagDecoding = 2;
constexpr int OptFlagAudio = 8;
constexpr int OptFlagVideo = 16;
constexpr int OptFlagSubtitle = 32;
inline constexpr std::array<int, MediaTypeCount> MediaTypeOptionFlags{OptFlagVideo, OptFlagAudio, 0,
                                                                      OptFlagSubtitle, 0};

// The generic option holder: every option name the dispatcher does not know is
// tried on these library contexts, and the names set successfully are replayed
// onto the real inputs, outputs and streams when they are created.
class TOptionContext {
public:
    TOptionContext(int scaleFlags, std::function<void(TLogLevel)> setLogLevel);
    TOptionContext(const TOptionContext&) = delete;
    TOptionContext& operator=(const TOptionContext&) = delete;

    // One codec option set per media type (index 0 video, 1 audio, 2 data, 3 subtitle, 4 attachment).
    std::array<media::Viewed<media::CodecContextHandle>, MediaTypeCount> CodecSets{};
    media::Viewed<media::FormatContextHandle> FormatSet;
    media::Viewed<media::ScalerHandle> ScalerSet;
    std::vector<std::string> SetNames;        // in the order they were set
    // The sets each name was set on: a name is replayed only from those, so that an
    // option two media types share ("b") reaches only the one it was given for.
    std::vector<std::pair<std::string, const void*>> SetOn;
    // Options of one encoder, decoder or container of the libraries ("preset", "crf",
    // "movflags"), handed to each codec and container as it opens; each takes its own.
    media::Viewed<media::DictionaryHandle> PrivateOptions;
    std::vector<std::string> TakenPrivateOptions;   // the ones some codec or container took
    std::function<void(TLogLevel)> SetLogLevel;

    bool WasSetOn(const std::string& name, const void* set) const;

private:
    void Allocate(int scaleFlags);
};

// One bit-stream filter waiting for its stream: the filter's name and its arguments
// (the text after "=", possibly empty).
struct TBitstreamFilterEntry {
    std::string Name;
    std::string Arguments;
};
using TBitstreamFilterChain = std::vector<TBitstreamFilterEntry>;

struct TStreamMap {
    int FileIndex = 0;
    int StreamIndex = 0;
    int SyncFileIndex = 0;
    int SyncStreamIndex = 0;
};

struct TMetaDataMap {
    int OutFile = 0;
    int InFile = 0;
};

enum TMaxFramesIndex { mfVideo = 0, mfAudio = 1, mfData = 2, mfFourth = 3 };

// Everything the option language sets, with its defaults. Reset by assigning a fresh
// value after the held resources were released (TCustomFFmpeg::ResetOptionState).
struct TOptionState {
    // Files, maps and per-file tables.
    std::array<media::Viewed<media::InputFormatHandle>, MaxFiles> InputFiles{};
    int InputFileCount = 0;
    std::array<std::int64_t, MaxFiles> InputTimeOffsets{};
    // Where each input was sought to for its start, on its own clock (microseconds);
    // 0 when it was read from its beginning.
    std::array<std::int64_t, MaxFiles> InputSeekTimes{};
    double InputFilesTsScale[MaxFiles][MaxStreams] = {};   // 0 = no scaling
    std::vector<const AVCodec*> ForcedDecoders;
    std::array<media::Viewed<media::OutputFormatHandle>, MaxFiles> OutputFiles{};
    int OutputFileCount = 0;
    std::vector<const AVCodec*> ForcedEncoders;
    std::array<std::array<TBitstreamFilterChain, MaxStreams>, MaxFiles> BitstreamFilterTable{};
    std::array<TStreamMap, MaxStreamMaps> StreamMaps{};
    int StreamMapCount = 0;
    std::array<TMetaDataMap, MaxMetaDataMaps> MetaDataMaps{};
    int MetaDataMapCount = 0;
    std::vector<std::pair<std::string, std::string>> Metadata;
    const AVInputFormat* InputFormat = nullptr;
    const AVOutputFormat* OutputFormat = nullptr;

    // Video.
    int FrameWidth = 0;
    int FrameHeight = 0;
    float FrameAspectRatio = 0;   // 0 = not set
    int FramePixFmt = -1;
    // "pix_fmt" or "aspect" given after the input (each opened input overwrites both):
    // without them an encoder gets 4:2:0 and the picture keeps the source's pixel shape.
    bool FramePixFmtForced = false;
    bool FrameAspectForced = false;
    int SourceWidth = 0, SourceHeight = 0;   // the picture size of the last opened input's video
    float SourceAspectRatio = 0;             // its display aspect, upright; 0 = not known
    AVRational FrameRate{0, 0};
    int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
    int PadColorY = 16, PadColorU = 128, PadColorV = 128;
    int CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0;
    std::array<int, 4> MaxFrames{2147483647, 2147483647, 2147483647, 2147483647};
    float VideoQScale = 0;
    std::vector<std::uint16_t> IntraMatrix;   // 64 entries, or empty for none
    std::vector<std::uint16_t> InterMatrix;
    std::string VideoRcOverride;              // empty = none
    bool VideoDisable = false;
    int VideoDiscard = 0;
    std::string VideoCodecName;               // empty = none
    bool VideoStreamCopy = false;
    std::uint32_t VideoCodecTag = 0;
    bool SameQuality = false;
    bool DoDeinterlace = false;
    bool DeinterlaceChosen = false;   // "deinterlace" was given: no automatic choice
    int TopFieldFirst = -1;
    int MeThreshold = 0;
    int IntraDCPrecision = 8;
    bool IntraOnly = false;
    bool QpHist = false;
    bool ForceFps = false;
    std::string VideoFilters;
    bool UseVideoFilters = false;
    int VideoSyncMethod = -1;
    int VideoGlobalHeader = 0;   // bit 0 global header, bit 1 local header
    int VideoChannel = 0;
    std::string VideoStandard;   // empty = none
    TBitstreamFilterChain VideoBitstreamFilters;
    int ScaleFlags = 4;

    // Audio and subtitles.
    int AudioSampleRate = 44100;
    int AudioChannels = 2;
    std::uint64_t AudioChannelLayout = 0;
    int AudioSampleFmt = -1;
    bool AudioSampleFmtForced = false;   // "sample_fmt" given after the input
    float AudioQScale = -99999.0f;   // = not set
    bool AudioDisable = false;
    std::string AudioCodecName;
    bool AudioStreamCopy = false;
    std::uint32_t AudioCodecTag = 0;
    std::string AudioLanguage;
    int AudioSyncMethod = 0;
    float AudioDriftThreshold = 0.1f;
    int AudioVolume = 256;
    TBitstreamFilterChain AudioBitstreamFilters;
    bool SubtitleDisable = false;
    std::string SubtitleCodecName;
    bool SubtitleStreamCopy = false;
    std::string SubtitleLanguage;
    TBitstreamFilterChain SubtitleBitstreamFilters;
    // The default mapping's choices, counted among the source's tracks of the kind
    // from 0; -1 for none: the sound track an output of one track takes, and the
    // subtitle track drawn into the picture (and then not carried as a stream).
    int SoundTrack = -1;
    int BurntSubtitleTrack = -1;
    // "keepshape": the output's pixels are square and the picture keeps its shape in
    // black bands (what devices show right, whatever the file says of its pixels).
    bool KeepPictureShape = false;

    // Timing, muxing and the rest.
    std::int64_t RecordingTime = INT64_MAX;   // microseconds; no limit
    std::int64_t StartTime = 0;
    std::int64_t RecTimestamp = 0;            // seconds since 1970
    bool RecTimestampIsNow = false;           // "timestamp" said "now": a source's own date wins
    std::int64_t InputTsOffset = 0;
    std::int64_t LimitFileSize = 0;           // bytes; 0 = no limit
    float MuxPreload = 0.5f;
    float MuxMaxDelay = 0.7f;
    bool LoopInput = false;
    int LoopOutput = -1;
    bool CopyTs = false;
    bool Shortest = false;
    float DtsDeltaThreshold = 10.0f;
    int ProgramID = 0;   // 0 = all programs
    int CopyInitialNonKeyframes = 0;
    bool RateEmu = false;
    bool InputSync = false;
    bool ExitOnError = false;
    bool DoHexDump = false;
    bool DoPktDump = false;
    bool DoPSNR = false;
    int DoPass = 0;
    std::string PassLogFileName;
    std::string VStatsFileName;   // empty = none
    media::Viewed<media::StdioFileHandle> VStatsFile;
    TLogLevel Verbose = llInfo;   // "v" gives it as a number (LogLevelFromNumber)
    int CodecThreadCount = 1;
    bool UsingVHook = false;
    TFrameHookChain FrameHooks;
    // The hooks' command lines; each must outlive its hook (list: addresses stay put).
    std::list<std::string> FrameHookArguments;
    bool PgmyuvCompatibilityHack = false;
    std::unique_ptr<TOptionContext> OptionContext;
};

struct TTranscodeRun;   // engine/FFmpegStreams.h: the tables of one run

// "start,end,q/start,end,q...": one rate-control override per item; q > 0 is a quantiser,
// q <= 0 a quality factor of -q percent. Throws FFmpegException("error parsing rc_override").
std::vector<RcOverride> ParseRcOverride(const std::string& text);
// A number as a fraction with numerator and denominator at most 255 (aspect ratios).
AVRational AspectFraction(double value);
// The option language's integer: decimal, or hexadecimal after "0x" or "$".
bool ParseOptionInteger(const std::string& text, int& value);
// "padcolor": an integer 0x00BBGGRR, or that number as hexadecimal digits alone
// ("FF0000"). Throws FFmpegException for anything else.
int PadColorValue(const std::string& text);
// The libraries' option of that name that belongs to one encoder, decoder or
// container rather than to all of them; null when none has it.
const AVOption* FindPrivateOption(const std::string& name);
// The frame rate an input stream is taken to have: the container's, else the average.
AVRational StreamFrameRate(const AVStream* st);

class TCustomFFmpeg : public TOptionState {
public:
    TCustomFFmpeg();
    virtual ~TCustomFFmpeg();
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    // Option state (option language).
    void ResetOptionState();   // no-op unless the engine libraries are loaded
    void SetOption(const std::string& name, const std::string& value);   // throws FFmpegException
    void SetLogLevel(TLogLevel level);   // also the libraries' level
    void Log(TLogLevel level, const std::string& text);   // to LogHandler (if set)

    // The generic path for names the dispatcher does not know. With `onlyType` (a media
    // type) the codec option is set for that type alone.
    bool SetDefaultOption(const std::string& name, const std::string& value, int onlyType = -1);
    // Whether the option language or the libraries know `name` (libraries loaded).
    static bool IsKnownOption(const std::string& name);
    // The private options given, as a copy to open one codec or container with
    // (null when there are none); afterwards NotePrivateOptionsTaken(copy) records what
    // it took and frees the copy, and WarnUntakenPrivateOptions names the options
    // nothing took.
    AVDictionary* PrivateOptionsForOpen();
    void NotePrivateOptionsTaken(AVDictionary*& left);
    void WarnUntakenPrivateOptions();
    // Copies every remembered generic option whose flags include all of `flags` from
    // `source` (one of OptionContext's sets) onto `target` (a library context).
    void ApplyContextOptions(void* target, void* source, int flags);

    // The input-only and output-only forms of "f" (used by the option records and the
    // target presets); an empty name changes nothing.
    void SetInputFormat(const std::string& name);
    void SetOutputFormat(const std::string& name);
    // "padcolor": 0x00BBGGRR to the pad colour in Y, U, V.
    void SetPadColor(int color);

    // Files (input/output setup). Each throws FFmpegException and leaves the file tables
    // as they were when it fails; OpenOutput returns the number of outputs.
    void OpenInput(const std::string& fileName);
    int OpenOutput(const std::string& fileName);
    // The next video, audio or subtitle stream of `output`, from that kind's options.
    void NewOutputStream(AVFormatContext* output, AVMediaType type);
    // The same for callers outside the engine (tests, fuzzers): failures become
    // LastErrorMessage; OpenOutputFile returns -1 then.
    bool OpenInputFile(const std::string& fileName);
    int OpenOutputFile(const std::string& fileName);
    // The target presets: type "vcd", "svcd", "dvd", "dv", "dv50"; norm "pal", "ntsc",
    // "film" or anything else for automatic; fallback norm for automatic detection.
    void ApplyTarget(const std::string& type, const std::string& norm, const std::string& fallbackNorm);
    // (has video, has audio, has subtitle) over all streams of the open inputs.
    struct TInputKinds {
        bool Video = false, Audio = false, Subtitle = false;
    };
    TInputKinds CheckInputs();
    // The encoder or decoder `name` of `type` (null for an empty name); names of codecs
    // that today's libraries carry under a successor's name take the successor. Throws
    // FFmpegException for an unknown name or one of another type.
    const AVCodec* FindCodec(const std::string& name, AVMediaType type, bool encoder);
    // The same as a codec id, for callers outside the engine: on failure returns false
    // with LastErrorMessage set.
    bool FindCodecId(const std::string& name, AVMediaType type, bool encoder, AVCodecID& id,
                     const AVCodec** codec = nullptr);

    // Codec contexts set up with the files, owned by the task until CleanupTask. The
    // transcode may take one over by setting its slot to nullptr.
    //   InputCodecs[file][stream]: a decoder context filled from the stream's parameters
    //   (avcodec_parameters_to_context), allocated for the forced decoder, else for the
    //   library's decoder of the id (none: a context with the parameters only); thread count,
    //   packet time base and the generic decoding options applied; not opened.
    //   OutputStreams[file][stream]: the encoder context of the stream (allocated for
    //   `Encoder`, every encoding parameter set and already adjusted to what the encoder
    //   supports: time base, pixel format, sample format, sample rate, channel layout), not
    //   opened; the stream's codec parameters hold a copy. For a copied stream the context
    //   carries the type and the aspect only; the transcode copies the input's parameters.
    struct TOutputStreamSetup {
        media::Viewed<media::CodecContextHandle> Codec;
        const AVCodec* Encoder = nullptr;   // the encoder to open; null for copy or none found
        bool StreamCopy = false;
        // The input stream the default mapping chose (engine/StreamChoice.h); -1: by kind.
        int SourceFile = -1, SourceStream = -1;
    };
    std::array<std::vector<media::Viewed<media::CodecContextHandle>>, MaxFiles> InputCodecs;
    std::array<std::vector<TOutputStreamSetup>, MaxFiles> OutputStreams;

    // Transcode.
    void Transcode();
    void CloseOpenCodecs();
    void CleanupTask();   // releases all files and the per-file option state

    // False while a task's settings are only checked: OpenOutputFile then sets the
    // output up completely but creates no file.
    bool CreateOutputFiles = true;
    // The output files this task created, with the identity they had then; they stay
    // listed after being closed, so that what a failed or cancelled run began can go.
    struct TCreatedFile {
        std::string Name;
        std::uint64_t Device = 0, Inode = 0;   // 0: not a local file
    };
    std::vector<TCreatedFile> CreatedOutputs;
    // Removes the created outputs that are still the files this task wrote (never one
    // that has since been replaced by another) and forgets them.
    void RemoveCreatedOutputs();
    // Raises "Could not write '<file>': <reason>" when an output this task writes is no
    // longer where it was created (removed, or its folder removed): its data would be lost.
    void CheckOutputsInPlace();

    // Run state, grouped by who may touch it.
    //
    // Control: written under the component's state lock (TFFmpeg); the worker reads
    // StopRequested without it.
    void* Thread = nullptr;   // the worker thread object, owned by the component side
    bool Running = false;
    std::atomic<bool> StopRequested{false};
    bool Finished = false;
    bool Terminated = false;
    // The outcome: written by the worker while it runs, read by the component after
    // the end event (LastErrorMessage also by the calls that open files).
    bool ExceptionRaised = false;
    std::string ExceptionMessage;
    // What the outputs leave out of the sources ("1 subtitle track not kept: ..."), one line
    // each; a finished task reports it as its outcome.
    std::string DroppedTracks;
    std::string LastErrorMessage;
    // Under the preview lock (engine/PreviewLock.h).
    std::uint8_t PreviewFlags = 0;
    std::unique_ptr<media::TFramePreview> PreviewWindow;   // frames shown while converting (bit 0)
    // Configuration: set before the task starts, only read while it runs.
    TTaskEventSink* LogHandler = nullptr;
    TTaskEventSink* ProgressHandler = nullptr;
    TTaskEventSink* TerminateHandler = nullptr;
    TTaskEventSink* PreviewBitmapHandler = nullptr;
    TTaskEventSink* BeforeHookHandler = nullptr;
    TTaskEventSink* CustomHookHandler = nullptr;
    std::int64_t ProgressIntervalUS = 500000;
    std::int64_t PreviewIntervalUS = 100000;
    int TotalOutputDuration = -1;
    using TTimeRange = engine::TTimeRange;
    std::vector<TTimeRange> TimeRanges;
    // Threads per decoder and encoder, set by the component when the task starts:
    // the machine's cores shared by the tasks that run at once, or AutomaticThreads for
    // a task that has the machine to itself. 1 (a task run directly) = CodecThreadCount.
    static constexpr int AutomaticThreads = 0;
    int TaskThreadCount = 1;
    // Whether decoded frames are filtered and encoded on threads of their own beside
    // the packet loop (engine/FrameStages.h): -1 when the task has at least two cores
    // to itself (TaskThreadCount), 0 never, 1 whenever the run allows it.
    int FrameStages = -1;

    // Figures and state of a run (a task runs once), owned by the worker thread;
    // reported in the progress and the summary.
    int TimeRangeIndex = 0;
    THookAction HookAction = haContinue;
    std::int64_t VideoBytes = 0;
    std::int64_t AudioBytes = 0;
    std::int64_t HeaderBytes = 0;
    std::atomic<int> DupFrameCount{0};   // counted by the picture stage, read by the report
    std::atomic<int> DropFrameCount{0};
    std::int64_t RunStartTime = 0;
    // Codecs opened by the run and not closed yet; CloseOpenCodecs closes what an
    // error left here. Decoder contexts are owned by this list, encoder contexts by
    // their output streams.
    std::vector<AVCodecContext*> OpenEncoders;
    std::vector<media::CodecContextHandle> OpenDecoders;

    // The pause gate the worker waits on between loop iterations (a thread cannot be
    // suspended from outside here). Never waited on while holding another lock.
    void WaitWhilePaused();
    void SetPaused(bool paused);
    bool IsPaused();

    // The transcode's steps (engine/FFmpegTranscode*.cpp, FFmpegPacketPath.cpp,
    // FFmpegVideoPath.cpp, FFmpegAudioPath.cpp, FFmpegFrameHooks.cpp, FFmpegReport.cpp).
    void TranscodeSetup();
    void TranscodeLoop();
    void TranscodeCleanup();
    int CodecThreads() const;
    // The scaler's flags: the "sws_flags" option where it was given, else ScaleFlags.
    std::int64_t ChosenScaleFlags() const;
    std::unique_ptr<TTranscodeRun> RunTables;   // the tables of the run in progress

protected:
    // The one place an engine error becomes LastErrorMessage for a caller that wants a result.
    template <typename Action>
    bool CatchIntoLastError(Action&& action)
    {
        try {
            action();
            return true;
        } catch (const std::exception& e) {
            LastErrorMessage = e.what();
            return false;
        }
    }
    // A fresh option state (files and option resources released first); the run flags stay.
    void RenewOptionState();
    // Releases what the option state holds (option holder, matrices, statistics file,
    // hook chain); part of the task cleanup.
    void ReleaseOptionResources();
    // Closes and frees every input and output file with their codec contexts.
    void ReleaseFiles();

private:
    std::mutex PauseMutex;
    std::condition_variable PauseChanged;
    bool Paused = false;
};

}  // namespace kv::engine
