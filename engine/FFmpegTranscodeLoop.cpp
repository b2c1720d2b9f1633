// The main loop of a transcode: choose the input whose output is furthest behind,
// read a packet, correct its time stamps, hand it on; at the end flush, write the
// trailers, report and close the codecs.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "engine/EarlyCues.h"
#include "engine/FFmpegStreams.h"
#include "engine/FrameStages.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFUtils.h"
#include "media/FFmpegLoader.h"

namespace kv::engine {


namespace {

// Output time of a stream in seconds: the encoder clock for re-encoded video, the end
// of what was written for the rest.
double OutputTime(const TOutputStream& ost)
{
    // A stream at its recording time waits for no input.
    if (ost.Ended) return 1e100;
    if (ost.NeedsEncoding && ost.Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
        return static_cast<double>(ost.OutputTicks) * av_q2d(ost.Encoder->time_base);
    return ost.WrittenTime;
}

int MaxFramesIndex(AVMediaType type)
{
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: return mfVideo;
    case AVMEDIA_TYPE_AUDIO: return mfAudio;
    case AVMEDIA_TYPE_DATA: return mfData;
    default: return mfFourth;
    }
}

void CorrectTimestamps(TCustomFFmpeg& task, TInputStream& ist, AVFormatContext* ic, AVPacket* pkt)
{
    const AVRational tb = ist.Stream->time_base;
    const std::int64_t offset = task.InputTimeOffsets[ist.FileIndex];
    if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += av::av_rescale_q(offset, AV_TIME_BASE_Q, tb);
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += av::av_rescale_q(offset, AV_TIME_BASE_Q, tb);
    if (ist.StreamIndex < MaxStreams) {
        const double scale = task.InputFilesTsScale[ist.FileIndex][ist.StreamIndex];
        if (scale != 0) {
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llround(static_cast<double>(pkt->pts) * scale);
            if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llround(static_cast<double>(pkt->dts) * scale);
        }
    }
    if (pkt->dts != AV_NOPTS_VALUE && ist.NextPts != AV_NOPTS_VALUE && (ic->iformat->flags & AVFMT_TS_DISCONT)) {
        const std::int64_t pktDts = av::av_rescale_q(pkt->dts, tb, AV_TIME_BASE_Q);
        const std::int64_t delta = pktDts - ist.NextPts;
        if ((std::llabs(delta) > static_cast<std::int64_t>(task.DtsDeltaThreshold * 1000000.0) ||
             pktDts + 1 < ist.Pts) &&
            !task.CopyTs) {
            task.InputTimeOffsets[ist.FileIndex] -= delta;
            if (task.Verbose >= llAll)
                task.Log(llInfo, Format("timestamp discontinuity %lld, new offset= %lld", static_cast<long long>(delta),
                                   static_cast<long long>(task.InputTimeOffsets[ist.FileIndex])));
            pkt->dts -= av::av_rescale_q(delta, AV_TIME_BASE_Q, tb);
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= av::av_rescale_q(delta, AV_TIME_BASE_Q, tb);
        }
        // The packet at the seam can have its presentation time on the other side of
        // the jump than its decoding time; it is shown when it is decoded then.
        if (pkt->pts != AV_NOPTS_VALUE && !task.CopyTs &&
            std::llabs(av::av_rescale_q(pkt->pts - pkt->dts, tb, AV_TIME_BASE_Q)) >
                static_cast<std::int64_t>(task.DtsDeltaThreshold * 1000000.0))
            pkt->pts = pkt->dts;
    }
}

// The input file to read next: the one feeding the output furthest behind (or, with
// input sync, the input furthest behind); -1 when the run is over.
int ChooseInput(const TCustomFFmpeg& task, const TTranscodeRun& run)
{
    double smallestInput = 1e100, smallestOutput = 1e100;
    int chosen = -1;
    for (const auto& ost : run.OutputStreamTable) {
        const TInputStream& ist = *run.InputStreamTable[ost->SourceIndex];
        const double opts = OutputTime(*ost);
        const double ipts = static_cast<double>(ist.Pts);
        if (!run.InputFileTable[ist.FileIndex].AtEnd) {
            if (ipts < smallestInput) {
                smallestInput = ipts;
                if (task.InputSync) chosen = ist.FileIndex;
            }
            if (opts < smallestOutput) {
                smallestOutput = opts;
                if (!task.InputSync) chosen = ist.FileIndex;
            }
        }
        if (ost->FrameNumber >= task.MaxFrames[MaxFramesIndex(ost->Encoder->codec_type)]) return -1;
    }
    if (chosen < 0) return -1;
    if (static_cast<double>(task.RecordingTime) / 1000000.0 <= smallestOutput) return -1;
    const AVFormatContext* first = task.OutputFiles[0];
    if (task.LimitFileSize != 0 && first->pb && av::avio_seek(first->pb, 0, SEEK_CUR) > task.LimitFileSize) return -1;
    return chosen;
}

// A packet read from input file `chosen`, to its stream unless the stream is unmapped.
void DispatchPacket(TCustomFFmpeg& task, TTranscodeRun& run, int chosen, AVPacket* pkt)
{
    AVFormatContext* ic = task.InputFiles[chosen];
    if (task.DoPktDump) av::av_pkt_dump_log2(nullptr, AV_LOG_INFO, pkt, task.DoHexDump, ic->streams[pkt->stream_index]);
    const TInputFileState& file = run.InputFileTable[chosen];
    if (pkt->stream_index >= file.FileStreamCount) return;
    const int istIndex = file.FirstStreamIndex + pkt->stream_index;
    TInputStream& ist = *run.InputStreamTable[istIndex];
    if (ist.Unmapped) return;
    // A cue handed on before the loop began, found again after the seek.
    if (run.EarlyCuesGiven && IsEarlyCue(run.EarlyCues, chosen, pkt)) return;
    CorrectTimestamps(task, ist, ic, pkt);
    if (transcode::HandlePacket(task, run, ist, istIndex, pkt) >= 0) return;
    const std::string text = Format("Error while decoding stream #%d.%d", ist.FileIndex, ist.StreamIndex);
    if (task.ExitOnError) throw FFmpegException(text);
    if (task.Verbose > llQuiet && task.LogHandler) task.Log(llInfo, text);
}

// The end, whatever ended the loop: flush decoders and encoders, trailers, report.
void FinishOutputs(TCustomFFmpeg& task, TTranscodeRun& run)
{
    for (std::size_t i = 0; i < run.InputStreamTable.size(); ++i) {
        TInputStream& ist = *run.InputStreamTable[i];
        if (ist.NeedsDecoding) transcode::HandlePacket(task, run, ist, static_cast<int>(i), nullptr);
    }
    if (run.Stages) run.Stages->Finish();
    for (auto& ost : run.OutputStreamTable) transcode::FinishCopy(task, run, *ost);
    for (auto& ost : run.OutputStreamTable)
        if (!ost->Filters.empty()) transcode::WritePacket(task, *ost, nullptr);
    // A run that got nothing from its inputs (a start past an end the input did not
    // tell in advance) has no output to show for it.
    if (!task.StopRequested && std::none_of(run.OutputStreamTable.begin(), run.OutputStreamTable.end(),
                                            [](const auto& ost) { return ost->Written; }))
        throw FFmpegException("Nothing to convert: the input has no data from the start time on");
    for (int f = 0; f < task.OutputFileCount; ++f) {
        const int r = av::av_write_trailer(task.OutputFiles[f]);
        if (r < 0)
            throw FFmpegException(
                transcode::WriteFailureText(task.OutputFiles[f], media::OpenErrorText("av_write_trailer()", r)));
    }
    transcode::ReportProgress(task, run, true);
    task.CheckOutputsInPlace();
}

// The run's codecs are closed as soon as the files are complete; the encoder contexts
// stay with their output streams (their figures are read afterwards), so they are
// closed here rather than freed.
void CloseRunCodecs(TCustomFFmpeg& task, TTranscodeRun& run)
{
    for (auto& ost : run.OutputStreamTable) {
        if (!ost->NeedsEncoding) continue;
        AVCodecContext* enc = ost->Encoder;
        av::av_freep(&enc->stats_in);
        std::lock_guard lock(media::CodecLock());
        av::avcodec_close(enc);
        std::erase(task.OpenEncoders, enc);
    }
    for (auto& ist : run.InputStreamTable) {
        if (!ist->NeedsDecoding || !ist->Decoder) continue;
        AVCodecContext* dec = std::exchange(ist->Decoder, nullptr);
        std::lock_guard lock(media::CodecLock());
        std::erase_if(task.OpenDecoders, [dec](const media::CodecContextHandle& h) { return h.get() == dec; });
    }
}

}  // namespace

void TCustomFFmpeg::TranscodeLoop()
{
    TTranscodeRun& run = *RunTables;
    AVPacket* pkt = run.Packet.get();
    run.Stages = TFrameStages::Start(*this, run);
    // However the loop ends, no stage outlives it.
    struct TEndStages {
        TCustomFFmpeg& Task;
        ~TEndStages()
        {
            if (Task.RunTables) Task.RunTables->Stages.reset();
        }
    } endStages{*this};
    run.EarlyCues = CuesOnScreenAtStart(*this);
    for (TEarlyCue& cue : run.EarlyCues) DispatchPacket(*this, run, cue.File, cue.Packet.get());
    run.EarlyCuesGiven = true;
    while (!StopRequested) {
        WaitWhilePaused();
        if (StopRequested) break;
        const int chosen = ChooseInput(*this, run);
        if (chosen < 0) break;
        AVFormatContext* ic = InputFiles[chosen];
        const int r = av::av_read_frame(ic, pkt);
        if (r == AVERROR(EAGAIN) && std::string(ic->iformat->name) != "ffm") continue;
        if (r < 0) {
            run.InputFileTable[chosen].AtEnd = 1;
            if (Shortest) break;
            continue;
        }
        DispatchPacket(*this, run, chosen, pkt);
        av::av_packet_unref(pkt);
        if (run.Stages) run.Stages->WriteReturned();
        const std::int64_t now = av::av_gettime();
        if (now - run.LastReportTime > ProgressIntervalUS) {
            run.LastReportTime = now;
            transcode::ReportProgress(*this, run, false);
            CheckOutputsInPlace();
        }
    }
    FinishOutputs(*this, run);
    run.Stages.reset();
    CloseRunCodecs(*this, run);
    Finished = !StopRequested;
    TranscodeCleanup();
}

}  // namespace kv::engine
