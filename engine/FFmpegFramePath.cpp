// Decoded pictures on their way into the encoders: frame-rate synchronisation, crop,
// scale and pad of pictures; subtitles. Sound: FFmpegAudioPath.cpp.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/FFmpegStreams.h"
#include "media/AVCodecStubs.h"
#include "media/AVUtilStubs.h"
#include "media/SwScaleStubs.h"

namespace kv::engine::transcode {

namespace {

// Plane pointers of `frame` moved by `top` rows and `left` columns.
void CropPlanes(const AVFrame* frame, int top, int left, const std::uint8_t* planes[4])
{
    const AVPixFmtDescriptor* desc = av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    for (int p = 0; p < 4; ++p) {
        planes[p] = frame->data[p];
        if (!planes[p] || !desc) continue;
        const bool chroma = (p == 1 || p == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
        const int y = chroma ? top >> desc->log2_chroma_h : top;
        const int x = chroma ? left >> desc->log2_chroma_w : left;
        int step = desc->comp[0].step;
        for (int c = 0; c < desc->nb_components; ++c)
            if (desc->comp[c].plane == p) step = desc->comp[c].step;
        planes[p] += static_cast<std::ptrdiff_t>(y) * frame->linesize[p] + static_cast<std::ptrdiff_t>(x) * step;
    }
}

// Fills a planar 8-bit YUV picture with the pad colour; other formats get black.
void FillPadColour(TCustomFFmpeg& task, AVFrame* picture)
{
    const AVPixFmtDescriptor* desc = av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
    const bool planarYuv = desc && (desc->flags & AV_PIX_FMT_FLAG_PLANAR) && !(desc->flags & AV_PIX_FMT_FLAG_RGB) &&
                           desc->comp[0].depth == 8 && desc->nb_components >= 3;
    for (int p = 0; p < 4 && picture->data[p]; ++p) {
        const int rows = p == 0 || !desc ? picture->height : AV_CEIL_RSHIFT(picture->height, desc->log2_chroma_h);
        const int value = !planarYuv ? 0 : p == 0 ? task.PadColorY : p == 1 ? task.PadColorU : task.PadColorV;
        std::memset(picture->data[p], value, static_cast<std::size_t>(picture->linesize[p]) * rows);
    }
}

}  // namespace

// Frame hooks and previews work on the decoded picture before it is encoded; they
// are added by the hook work, so nothing happens here yet.
void PrepareVideoFrame(TCustomFFmpeg&, TInputStream&, AVFrame*) {}

int EncodeVideo(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVFrame* picture)
{
    AVCodecContext* enc = ost.Encoder;
    const double tb = av_q2d(enc->time_base);
    int copies = 1;
    const double syncTime = static_cast<double>(ost.SyncInput->Pts - task.StartTime) / 1000000.0;
    const bool sync = task.VideoSyncMethod > 0 || (task.VideoSyncMethod < 0 && tb > 0.001);
    if (sync) {
        const double delta = syncTime / tb - static_cast<double>(ost.OutputTicks);
        const bool variableRate = task.OutputFiles[ost.FileIndex]->oformat->flags & AVFMT_VARIABLE_FPS;
        if (delta < -1.1) copies = 0;
        else if (task.VideoSyncMethod == 2 || (task.VideoSyncMethod < 0 && variableRate)) {
            if (delta <= -0.6) copies = 0;
            else if (delta > 0.6) ost.OutputTicks = std::llrint(syncTime / tb);
        } else if (delta > 1.1) {
            copies = static_cast<int>(std::lrint(delta));
        }
        if (copies == 0) {
            task.DropFrameCount += 1;
            if (task.Verbose > 2) task.Log(1, "*** drop!");
        } else if (copies > 1) {
            task.DupFrameCount += copies - 1;
            if (task.Verbose > 2) task.Log(1, Format("*** %d dup!", copies - 1));
        }
    } else {
        ost.OutputTicks = std::llrint(syncTime / tb);
    }
    copies = std::min(copies, task.MaxFrames[mfVideo] - ost.FrameNumber);
    if (copies <= 0) return 0;

    // Crop, scale and pad into the stream's work picture when the picture must change.
    const bool crop = !task.UseVideoFilters && ost.CropActive;
    AVFrame* final = picture;
    if (!task.UseVideoFilters && (ost.ScaleNeeded || ost.PadActive)) {
        if (av::av_frame_make_writable(ost.WorkPicture) < 0) throw FFmpegException("avpicture_alloc fail");
        const int srcW = picture->width - (crop ? task.CropLeft + task.CropRight : 0);
        const int srcH = picture->height - (crop ? ost.CropTopBand + task.CropBottom : 0);
        const int dstW = enc->width - ost.PadLeftBand - ost.PadRightBand;
        const int dstH = enc->height - ost.PadTopBand - ost.PadBottomBand;
        ost.Scaler = av::sws_getCachedContext(ost.Scaler, srcW, srcH, static_cast<AVPixelFormat>(picture->format),
                                              dstW, dstH, enc->pix_fmt, task.ScaleFlags, nullptr, nullptr, nullptr);
        if (!ost.Scaler) throw FFmpegException("Cannot get resampling context");
        const std::uint8_t* src[4];
        if (crop) CropPlanes(picture, ost.CropTopBand, ost.CropLeftBand, src);
        else for (int p = 0; p < 4; ++p) src[p] = picture->data[p];
        if (ost.PadActive) FillPadColour(task, ost.WorkPicture);
        const std::uint8_t* dstConst[4];
        CropPlanes(ost.WorkPicture, ost.PadTopBand, ost.PadLeftBand, dstConst);
        std::uint8_t* dst[4];
        for (int p = 0; p < 4; ++p) dst[p] = const_cast<std::uint8_t*>(dstConst[p]);
        av::sws_scale(ost.Scaler, src, picture->linesize, 0, srcH, dst, ost.WorkPicture->linesize);
        final = ost.WorkPicture;
    }

    int frameSize = 0;
    AVFrame* big = run.SendFrame;
    for (int i = 0; i < copies; ++i) {
        if (task.StopRequested) break;
        if (av::av_frame_ref(big, final) < 0) throw FFmpegException("Video encoding failed");
        if (crop && final == picture) {
            const std::uint8_t* planes[4];
            CropPlanes(picture, ost.CropTopBand, ost.CropLeftBand, planes);
            for (int p = 0; p < 4; ++p) big->data[p] = const_cast<std::uint8_t*>(planes[p]);
            big->width = enc->width;
            big->height = enc->height;
        }
        big->interlaced_frame = picture->interlaced_frame;
        if (task.TopFieldFirst >= 0) big->top_field_first = task.TopFieldFirst;
        else big->top_field_first = picture->top_field_first;
        big->quality = task.SameQuality ? static_cast<int>(std::lrint(ist.Quality)) : 0;
        if (!task.MeThreshold) big->pict_type = AV_PICTURE_TYPE_NONE;
        big->pts = ost.OutputTicks;
        big->sample_aspect_ratio = enc->sample_aspect_ratio;
        const int r = av::avcodec_send_frame(enc, big);
        av::av_frame_unref(big);
        if (r < 0) throw FFmpegException("Video encoding failed");
        const int size = DrainEncoder(task, run, ost);
        if (size > 0) frameSize = size;
        ost.OutputTicks += 1;
        ost.FrameNumber += 1;
    }
    return frameSize;
}

void EncodeSubtitle(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist,
                    const AVSubtitle& subtitle, std::int64_t pts)
{
    if (pts == AV_NOPTS_VALUE) {
        if (task.ExitOnError) throw FFmpegException("Subtitle packets must have a pts");
        task.Log(0, "Subtitle packets must have a pts");
        return;
    }
    if (run.SubtitleBuffer.empty()) run.SubtitleBuffer.resize(65536);
    AVCodecContext* enc = ost.Encoder;
    const int count = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
    for (int i = 0; i < count; ++i) {
        const int size = av::avcodec_encode_subtitle(enc, run.SubtitleBuffer.data(),
                                                     static_cast<int>(run.SubtitleBuffer.size()), &subtitle);
        if (size < 0) {
            if (task.ExitOnError) throw FFmpegException("Subtitle encoding failed");
            task.Log(0, "Subtitle encoding failed");
            return;
        }
        AVPacket* pkt = run.OutPacket;
        if (av::av_new_packet(pkt, size) < 0) throw FFmpegException("av_malloc fail");
        std::memcpy(pkt->data, run.SubtitleBuffer.data(), static_cast<std::size_t>(size));
        pkt->stream_index = ost.StreamIndex;
        pkt->pts = av::av_rescale_q(pts, ist.Stream->time_base, ost.Stream->time_base);
        if (count == 2)
            pkt->pts += av::av_rescale_q(i == 0 ? subtitle.start_display_time : subtitle.end_display_time,
                                         AVRational{1, 1000}, ost.Stream->time_base);
        pkt->dts = pkt->pts;
        pkt->duration = av::av_rescale_q(subtitle.end_display_time - subtitle.start_display_time, AVRational{1, 1000},
                                         ost.Stream->time_base);
        WritePacket(task, ost, pkt);
        av::av_packet_unref(pkt);
    }
}

}  // namespace kv::engine::transcode
