// Decoded pictures on their way into the video encoders: frame-rate synchronisation
// by duplicating and dropping, crop, scale and pad, encoding with two-pass
// statistics and the preview of what was encoded; and the re-encoding of subtitles.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/FFmpegFrameHooks.h"
#include "engine/FFmpegStreams.h"
#include "engine/PictureViews.h"
#include "media/AVCodecStubs.h"
#include "media/AVUtilStubs.h"
#include "media/SwScaleStubs.h"

namespace kv::engine::transcode {

namespace {

// Float error of tick arithmetic; far below any real time difference.
constexpr double TickSlack = 1e-6;

double TimeBase(const TOutputStream& ost)
{
    return av_q2d(ost.Encoder->time_base);
}

// Time of the sync input on the output's time line, seconds: the frame's own clock when
// the stream syncs to its source.
double SyncTime(const TCustomFFmpeg& task, const TOutputStream& ost, const TInputStream& ist, const TFrameClock& clock)
{
    const std::int64_t pts = ost.SyncInput == &ist ? clock.Pts : ost.SyncInput->Pts;
    return static_cast<double>(pts - task.StartTime) / 1000000.0;
}

// Ticks the output may still take before the recording time ends it.
std::int64_t TicksLeft(const TCustomFFmpeg& task, const TOutputStream& ost)
{
    if (task.RecordingTime == INT64_MAX) return INT64_MAX;
    const double end = static_cast<double>(task.RecordingTime) / 1000000.0 / TimeBase(ost);
    return static_cast<std::int64_t>(std::ceil(end - TickSlack)) - ost.OutputTicks;
}

void CountCopies(TCustomFFmpeg& task, int copies)
{
    if (copies == 0) {
        task.DropFrameCount += 1;
        if (task.Verbose >= llAll) task.Log(llInfo, "*** drop!");
    } else if (copies > 1) {
        task.DupFrameCount += copies - 1;
        if (task.Verbose >= llAll) task.Log(llInfo, Format("*** %d dup!", copies - 1));
    }
}

// Copies of a picture that keeps its own time: without synchronisation once at its
// time, else dropped when the clock is ahead and the clock moved when it is behind.
int SourceTimedCopies(TCustomFFmpeg& task, TOutputStream& ost, double syncTime)
{
    const double tb = TimeBase(ost);
    const bool sync = task.VideoSyncMethod > 0 || (task.VideoSyncMethod < 0 && tb > 0.001);
    if (!sync) {
        const std::int64_t ticks = std::llrint(syncTime / tb);
        if (ticks < 0) return 0;   // before the start
        ost.OutputTicks = ticks;
        return 1;
    }
    int copies = 1;
    const double delta = syncTime / tb - static_cast<double>(ost.OutputTicks);
    if (delta <= -0.6) copies = 0;
    else if (delta > 0.6) ost.OutputTicks = std::llrint(syncTime / tb);
    CountCopies(task, copies);
    return copies;
}

// Copies of the held picture on the tick grid: every tick up to `until` seconds that
// the output has not taken yet (a tick just at `until` stays with the earlier picture).
int GridCopies(TCustomFFmpeg& task, TOutputStream& ost, double until)
{
    const std::int64_t last = static_cast<std::int64_t>(std::floor(until / TimeBase(ost) + TickSlack));
    const int copies = static_cast<int>(std::clamp<std::int64_t>(last + 1 - ost.OutputTicks, 0, 1000000000));
    CountCopies(task, copies);
    return copies;
}

// Seconds the picture just decoded lasts: to the decoder's next time, else one tick.
double PictureDuration(const TOutputStream& ost, const TFrameClock& clock)
{
    const std::int64_t d = clock.NextPts != AV_NOPTS_VALUE ? clock.NextPts - clock.Pts : 0;
    return d > 0 ? static_cast<double>(d) / 1000000.0 : TimeBase(ost);
}

// A crop or pad view that could not be made: raised with ExitOnError, else logged
// and the picture is dropped.
int ViewFailed(TCustomFFmpeg& task, const char* message)
{
    if (task.ExitOnError) throw FFmpegException(message);
    task.Log(llError, message);
    return 0;
}

// The picture as the encoder gets it: `Source` holds its memory, `Planes` and `Lines`
// are where the encoder reads (a view into `Source` when cropped).
struct TEncoderPicture {
    AVFrame* Source;
    std::uint8_t* const* Planes;
    const int* Lines;
    TPictureView CropView, PadView;
};

// False when the crop cannot be cut out of this picture.
bool CropPicture(const TCustomFFmpeg& task, const TOutputStream& ost, const AVFrame* picture, TEncoderPicture& pic)
{
    const int right = task.CropRight, bottom = task.CropBottom;
    if (picture->width <= ost.CropLeftBand + right || picture->height <= ost.CropTopBand + bottom ||
        CropView(pic.CropView, picture->data, picture->linesize, picture->format, ost.CropTopBand, ost.CropLeftBand) < 0)
        return false;
    pic.Planes = pic.CropView.Data;
    pic.Lines = pic.CropView.Linesize;
    return true;
}

// The decoder may change the picture size mid-stream; the cached context stays the
// same object as long as it does not.
void Scale(TCustomFFmpeg& task, TOutputStream& ost, const AVFrame* picture, const TEncoderPicture& pic,
           std::uint8_t* const* target, const int* targetLines)
{
    const AVCodecContext* enc = ost.Encoder;
    const int srcW = picture->width - (ost.CropActive ? ost.CropLeftBand + task.CropRight : 0);
    const int srcH = picture->height - (ost.CropActive ? ost.CropTopBand + task.CropBottom : 0);
    if (!media::CachedScaler(ost.Scaler, srcW, srcH, static_cast<AVPixelFormat>(picture->format),
                             enc->width - ost.PadLeftBand - ost.PadRightBand,
                             enc->height - ost.PadTopBand - ost.PadBottomBand, enc->pix_fmt, task.ScaleFlags, nullptr,
                             nullptr, nullptr))
        throw FFmpegException("Cannot get resampling context");
    av::sws_scale(ost.Scaler.get(), pic.Planes, pic.Lines, 0, srcH, target, targetLines);
}

// Scales and pads into the stream's work picture, which becomes the encoder's
// picture; false when the padding cannot be laid out.
bool ScaleAndPad(TCustomFFmpeg& task, TOutputStream& ost, const AVFrame* picture, TEncoderPicture& pic)
{
    const AVCodecContext* enc = ost.Encoder;
    const bool filters = task.UseVideoFilters;
    AVFrame* work = ost.WorkPicture.get();
    // Reused unless the encoder still holds the previous picture.
    if (!work || av::av_frame_make_writable(work) < 0) throw FFmpegException("Video encoding failed");
    std::uint8_t* const* padSource = pic.Planes;
    const int* padSourceLines = pic.Lines;
    std::uint8_t* const* target = work->data;
    const int* targetLines = work->linesize;
    if (ost.PadActive && ost.ScaleNeeded) {
        if (CropView(pic.PadView, work->data, work->linesize, enc->pix_fmt, ost.PadTopBand, ost.PadLeftBand) < 0)
            return false;
        if (!filters) {
            target = pic.PadView.Data;
            targetLines = pic.PadView.Linesize;
        }
    }
    if (!filters && ost.ScaleNeeded) {
        Scale(task, ost, picture, pic, target, targetLines);
        padSource = nullptr;
    }
    if (ost.PadActive &&
        PadPicture(work->data, work->linesize, padSource, padSourceLines, enc->height, enc->width, enc->pix_fmt,
                   ost.PadTopBand, ost.PadBottomBand, ost.PadLeftBand, ost.PadRightBand, task.PadColorY,
                   task.PadColorU, task.PadColorV) < 0)
        return false;
    pic.Source = work;
    pic.Planes = work->data;
    pic.Lines = work->linesize;
    return true;
}

// The encoder's view of the picture for one copy at the stream's next tick.
void FillSendFrame(const TCustomFFmpeg& task, const TOutputStream& ost, const AVFrame* picture,
                   const TEncoderPicture& pic, AVFrame* big)
{
    const AVCodecContext* enc = ost.Encoder;
    const AVCodecContext* defaults = task.OptionContext ? task.OptionContext->CodecSets[0].get() : nullptr;
    const bool interlacedCoding =
        (defaults && (defaults->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME))) ||
        (enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME));
    for (int p = 0; p < 4; ++p) {
        big->data[p] = pic.Planes[p];
        big->linesize[p] = pic.Lines[p];
    }
    big->width = enc->width;
    big->height = enc->height;
    big->format = enc->pix_fmt;
    big->interlaced_frame = picture->interlaced_frame;
    if (interlacedCoding) big->top_field_first = task.TopFieldFirst == -1 ? picture->top_field_first : task.TopFieldFirst;
    big->quality = task.SameQuality ? picture->quality : enc->global_quality;
    if (!task.MeThreshold) big->pict_type = AV_PICTURE_TYPE_NONE;
    big->key_frame = 0;
    big->pts = ost.OutputTicks;
    big->sample_aspect_ratio = enc->sample_aspect_ratio;
}

// The picture `copies` times into the encoder at the next ticks, within the frame
// limit and the recording time; returns the size of the last encoded frame.
int EncodeCopies(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, AVFrame* picture, int number, int copies)
{
    AVCodecContext* enc = ost.Encoder;
    copies = std::min(copies, task.MaxFrames[mfVideo] - ost.FrameNumber);
    const std::int64_t left = TicksLeft(task, ost);
    if (left <= copies) {
        ost.Ended = true;
        copies = static_cast<int>(std::max<std::int64_t>(left, 0));
    }
    if (copies <= 0) return 0;
    TEncoderPicture pic{picture, picture->data, picture->linesize, {}, {}};
    if (!task.UseVideoFilters && ost.CropActive && !CropPicture(task, ost, picture, pic))
        return ViewFailed(task, "error cropping picture");
    if ((ost.PadActive || (!task.UseVideoFilters && ost.ScaleNeeded)) && !ScaleAndPad(task, ost, picture, pic))
        return ViewFailed(task, "error padding picture");
    int frameSize = 0;
    AVFrame* big = run.SendFrame.get();
    for (int i = 0; i < copies; ++i) {
        if (i > 0) task.WaitWhilePaused();
        if (task.StopRequested) break;
        if (av::av_frame_ref(big, pic.Source) < 0) throw FFmpegException("Video encoding failed");
        FillSendFrame(task, ost, picture, pic, big);
        const int r = av::avcodec_send_frame(enc, big);
        av::av_frame_unref(big);
        if (r < 0) throw FFmpegException("Video encoding failed");
        ost.LastCodedPts = AV_NOPTS_VALUE;
        const int size = DrainEncoder(task, run, ost);
        if (size > 0) {
            frameSize = size;
            if (task.PreviewFlags != 0) SendPreview(task, pic.Planes, pic.Lines, enc, ost.LastCodedPts, number);
        }
        ost.OutputTicks += 1;
        ost.FrameNumber += 1;
    }
    return frameSize;
}

}  // namespace

int EncodeVideo(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVFrame* picture,
                const TFrameClock& clock)
{
    const int number = clock.Number;
    const double time = SyncTime(task, ost, ist, clock);
    if (!ost.FixedRate) return EncodeCopies(task, run, ost, picture, number, SourceTimedCopies(task, ost, time));
    // The held picture covers the ticks up to half a picture before this one: half of
    // the time since the held one, at most half the stream's usual picture (after a gap
    // the held picture stays on screen, as a player keeps it). A variable rate's codec
    // rate is only its time base, so the picture's own duration cannot tell.
    const double duration = PictureDuration(ost, clock);
    const AVRational usual = ist.Stream->avg_frame_rate;
    const double step = usual.num > 0 && usual.den > 0 ? 1 / av_q2d(usual) : duration;
    int size = 0;
    if (ost.HeldPicture->buf[0])
        size = EncodeCopies(task, run, ost, ost.HeldPicture.get(), ost.HeldNumber,
                            GridCopies(task, ost, time - std::min(time - ost.HeldTime, step) / 2));
    av::av_frame_unref(ost.HeldPicture.get());
    if (av::av_frame_ref(ost.HeldPicture.get(), picture) < 0) throw FFmpegException("Video encoding failed");
    ost.HeldTime = time;
    ost.HeldDuration = duration;
    ost.HeldNumber = number;
    return size;
}

void FlushVideo(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost)
{
    if (!ost.FixedRate || !ost.HeldPicture || !ost.HeldPicture->buf[0]) return;
    const int size = EncodeCopies(task, run, ost, ost.HeldPicture.get(), ost.HeldNumber,
                                  GridCopies(task, ost, ost.HeldTime + ost.HeldDuration / 2));
    av::av_frame_unref(ost.HeldPicture.get());
    if (!task.VStatsFileName.empty() && size != 0) WriteVideoStats(task, ost, size);
}

void EncodeSubtitle(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist,
                    const AVSubtitle& subtitle, std::int64_t pts)
{
    if (pts == AV_NOPTS_VALUE) {
        if (task.ExitOnError) throw FFmpegException("Subtitle packets must have a pts");
        task.Log(llError, "Subtitle packets must have a pts");
        return;
    }
    // On the output's time line, which begins at the start: a cue that ends before it
    // goes, one that began before it is shown from the start for the rest of its time.
    const std::int64_t shown = av::av_rescale_q(pts, ist.Stream->time_base, AV_TIME_BASE_Q) - task.StartTime;
    const std::int64_t hidden = shown + 1000LL * subtitle.end_display_time;
    if (subtitle.end_display_time > 0 && hidden <= 0) return;
    AVSubtitle cue = subtitle;
    const std::int64_t from = std::max<std::int64_t>(shown + 1000LL * subtitle.start_display_time, 0);
    if (shown < 0 && subtitle.end_display_time > 0) {
        cue.start_display_time = 0;
        cue.end_display_time = static_cast<std::uint32_t>((hidden - from) / 1000);
    }
    const std::int64_t base = shown < 0 ? from - 1000LL * cue.start_display_time : shown;
    if (run.SubtitleBuffer.empty()) run.SubtitleBuffer.resize(65536);
    AVCodecContext* enc = ost.Encoder;
    const int count = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
    for (int i = 0; i < count; ++i) {
        const int size = av::avcodec_encode_subtitle(enc, run.SubtitleBuffer.data(),
                                                     static_cast<int>(run.SubtitleBuffer.size()), &cue);
        // A failed encode would hand the muxer whatever the buffer held before.
        if (size < 0) {
            if (task.ExitOnError) throw FFmpegException("Subtitle encoding failed");
            task.Log(llError, "Subtitle encoding failed");
            return;
        }
        AVPacket* pkt = run.OutPacket.get();
        if (av::av_new_packet(pkt, size) < 0) throw FFmpegException("av_malloc fail");
        std::memcpy(pkt->data, run.SubtitleBuffer.data(), static_cast<std::size_t>(size));
        pkt->stream_index = ost.StreamIndex;
        pkt->pts = av::av_rescale_q(base, AV_TIME_BASE_Q, ost.Stream->time_base);
        // DVB subtitles: one packet to show the page, one to clear it.
        if (count == 2)
            pkt->pts += av::av_rescale_q(i == 0 ? cue.start_display_time : cue.end_display_time,
                                         AVRational{1, 1000}, ost.Stream->time_base);
        pkt->dts = pkt->pts;
        pkt->duration = av::av_rescale_q(cue.end_display_time - cue.start_display_time, AVRational{1, 1000},
                                         ost.Stream->time_base);
        WritePacket(task, ost, pkt);
        av::av_packet_unref(pkt);
    }
}

}  // namespace kv::engine::transcode
