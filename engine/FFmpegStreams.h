#pragma once
// The tables of one transcode run: input files, input streams and output streams,
// with the work records the packet and frame paths reuse from packet to packet.
// Created by the setup, released by TranscodeCleanup; every member frees itself.
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "engine/CopyTimes.h"
#include "engine/DecodeOrderTimes.h"
#include "engine/FFmpeg.h"
#include "engine/EarlyCues.h"
#include "engine/PictureCorrection.h"
#include "engine/TextFormat.h"
#include "media/AvHandles.h"

namespace kv::engine {

struct THookState;   // engine/FFmpegFrameHooks.h
class TFrameStages;  // engine/FrameStages.h

struct TInputFileState {
    int AtEnd = 0;             // end of file or a read error
    int FirstStreamIndex = 0;  // position of the file's first stream in InputStreamTable
    int FileStreamCount = 0;   // streams the file had when the run began
};

struct TInputStream {
    int FileIndex = 0;
    int StreamIndex = 0;
    AVStream* Stream = nullptr;
    AVCodecContext* Decoder = nullptr;   // open while NeedsDecoding; owned by OpenDecoders
    int Unmapped = 1;
    int NeedsDecoding = 0;
    std::int64_t WallStart = 0;
    std::int64_t NextPts = AV_NOPTS_VALUE;   // microseconds
    std::int64_t Pts = 0;                    // microseconds
    int StartPending = 1;
    media::FilterGraphHandle FilterGraph;
    AVFilterContext* FilterSource = nullptr;
    AVFilterContext* FilterSink = nullptr;
    media::FrameHandle FilteredPicture;
    std::unique_ptr<TPictureCorrection> Correction;   // none when the pictures need nothing
    bool DecodeOrderOnly = false;   // the container gives no presentation times
    TDecodeOrderTimes ReorderTimes;
};

struct TOutputStream {
    int FileIndex = 0;
    int StreamIndex = 0;
    int SourceIndex = 0;
    AVStream* Stream = nullptr;
    AVCodecContext* Encoder = nullptr;   // the stream's own context (owned by the output file)
    int NeedsEncoding = 0;
    // Written by the stream's frame stage, read by the packet loop's choice and report.
    std::atomic<int> FrameNumber{0};
    TInputStream* SyncInput = nullptr;
    std::atomic<std::int64_t> OutputTicks{0};   // encoder time-base ticks (video) or samples (audio) emitted
    AVRational CopyTimeBase{0, 1};  // time base a copied stream was given
    double WrittenTime = 0;         // end of the latest packet written, seconds
    std::int64_t LastMuxDts = AV_NOPTS_VALUE;   // stream time base
    std::atomic<bool> Ended{false};   // reached the recording time: takes nothing more
    bool Written = false;           // a packet went into the muxer
    // Video path.
    int CropActive = 0, CropTopBand = 0, CropLeftBand = 0;
    int PadActive = 0, PadTopBand = 0, PadBottomBand = 0, PadLeftBand = 0, PadRightBand = 0;
    int ScaleNeeded = 0;
    media::FrameHandle WorkPicture;
    media::ScalerHandle Scaler;
    int ScaleSourceRows = 0;
    // Pictures go on the encoder's fixed grid of ticks; each waits for the next one to
    // know how many ticks it covers (variable-rate containers that keep the source's
    // own timing do without).
    bool FixedRate = false;
    media::FrameHandle HeldPicture;
    double HeldTime = 0, HeldDuration = 0;   // seconds of the output's time line
    int HeldNumber = 0;                      // the picture's number among those prepared
    // Audio path.
    int ResampleNeeded = 0;
    media::ResamplerHandle Resampler;
    media::AudioFifoHandle SampleFifo;
    media::FrameHandle AudioFrame;   // encoder input frame, reused
    std::vector<std::uint8_t*> ResampleBuffer;   // resampler output planes (one block of memory)
    int ResampleCapacity = 0;                     // samples
    media::AvMemoryHandle<std::uint8_t> ResampleData;   // owns the planes of ResampleBuffer
    std::array<std::int64_t, 4> ConvertKey{-1, 0, 0, 0};   // format, rate, channels, layout of its input
    int AudioFrameCapacity = 0;                  // samples AudioFrame has room for
    // Output samples the encoder's start delay takes where the container cannot say so;
    // the sound before this point is left out, so that the decoded sound keeps its time.
    std::int64_t StartDelay = 0;
    std::int64_t SampleLimit = INT64_MAX;        // output samples up to the recording time
    std::vector<std::uint8_t*> CutPlanes;        // planes of a block cut at the start
    std::vector<std::uint8_t> PadBuffer;         // silence followed by a block (grows only)
    std::vector<std::uint8_t*> PadPlanes;        // planes of the block being encoded, when moved
    // Both.
    media::StdioFileHandle PassLogFile;
    std::vector<media::BitstreamFilterHandle> Filters;   // the stream's bit-stream filter chain
    std::unique_ptr<TCopyTimes> CopyTimes;   // a copied picture that needs presentation times made
    // What the encoder told about its latest packet.
    float LastQuality = -1;
    std::int64_t LastCodedPts = AV_NOPTS_VALUE;   // encoder time base
    int LastPictType = 0;
    std::array<std::uint64_t, 3> LastError{};
};

struct TTranscodeRun {
    std::vector<TInputFileState> InputFileTable;
    std::vector<std::unique_ptr<TInputStream>> InputStreamTable;
    std::vector<std::unique_ptr<TOutputStream>> OutputStreamTable;
    // Work records reused from packet to packet.
    media::PacketHandle Packet;      // the packet just read
    media::PacketHandle OutPacket;   // encoder and filter output
    media::FrameHandle Picture;      // decoded picture or audio
    media::FrameHandle SendFrame;    // encoder input view of a picture
    media::SubtitleHolder Subtitle;
    std::vector<std::uint8_t> SubtitleBuffer;
    std::array<int, 52> QpHistogram{};
    std::int64_t LastReportTime = 0;
    std::shared_ptr<THookState> Hooks;   // frame hooks and previews, made on first use
    std::vector<TEarlyCue> EarlyCues;    // cues on screen at the start, handed on first
    bool EarlyCuesGiven = false;
    // The threads that filter and encode decoded frames beside the packet loop; none
    // when the run stays on one thread. Last, so that it ends before what it uses goes.
    std::unique_ptr<TFrameStages> Stages;
    TTranscodeRun();
    ~TTranscodeRun();
};

// The time of one decoded frame as the frame paths take it (microseconds): the input
// stream's clock when the frame was decoded, and its number among the pictures prepared.
struct TFrameClock {
    std::int64_t Pts = 0;
    std::int64_t NextPts = AV_NOPTS_VALUE;
    int Number = 0;
};

// The steps, shared between the files of the transcode.
namespace transcode {

// One input packet, or the end-of-stream flush of one input stream (packet null).
int HandlePacket(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex, AVPacket* packet);
// The end of a copied stream: what it still holds back for its times goes out.
void FinishCopy(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost);
// Through the stream's bit-stream filters into the muxer; takes the packet's data.
void WritePacket(TCustomFFmpeg& task, TOutputStream& ost, AVPacket* packet);
// "Could not write '<file>': <the system's reason>" when the output's byte stream met an
// error (a full disk, a removed folder); `otherwise` for a failure of the muxer itself.
std::string WriteFailureText(const AVFormatContext* output, const std::string& otherwise);
// Takes every packet the encoder has ready (or all of them after the end-of-stream call);
// returns the size of the last one, 0 for none.
int DrainEncoder(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost);

// The encoder's packet on its way to the muxer, with the figures the report shows.
void TakeEncoded(TCustomFFmpeg& task, TOutputStream& ost, AVPacket* pkt);
// A decoded frame (after the hooks) through the stream's filters into every encoder it
// feeds; `encode` false only gives it to the filter graph (a frame before the start).
// Returns the time of the last picture out of the filters (the clock's otherwise).
std::int64_t EncodeFrame(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex, AVFrame* frame,
                         TFrameClock clock, bool encode);
// End of stream of a decoded input: its encoders give back what they hold.
void FlushEncoders(TCustomFFmpeg& task, TTranscodeRun& run, int istIndex);

// Frame paths.
void PrepareVideoFrame(TCustomFFmpeg& task, TInputStream& ist, AVFrame* picture);
int EncodeVideo(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVFrame* picture,
                const TFrameClock& clock);
// End of stream: the picture held back for the grid gets its last ticks.
void FlushVideo(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost);
void AdjustVolume(AVFrame* samples, int volume);   // 256 = unchanged; clipped
void EncodeAudio(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVFrame* samples,
                 const TFrameClock& clock);
void FlushAudio(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost);
void EncodeSubtitle(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist,
                    const AVSubtitle& subtitle, std::int64_t pts);
// Shows a picture just handed to the encoder (planes in the encoder's format and
// size); `pts` is the coded frame's time stamp in the encoder's time base,
// `frameNumber` the picture's number among the pictures prepared.
void SendPreview(TCustomFFmpeg& task, const std::uint8_t* const data[4], const int linesize[4],
                 const AVCodecContext* enc, std::int64_t pts, int frameNumber);

// Report.
void ReportProgress(TCustomFFmpeg& task, TTranscodeRun& run, bool last);
void WriteVideoStats(TCustomFFmpeg& task, TOutputStream& ost, int frameSize);


}  // namespace transcode

}  // namespace kv::engine
