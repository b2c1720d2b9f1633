// One input packet on its way: copied to the outputs that take it as it is, decoded
// for the outputs that re-encode it; and the writing of output packets through the
// stream's bit-stream filters into the muxer.
#include <algorithm>
#include <cstring>
#include <thread>

#include "engine/FFmpegFrameHooks.h"
#include "engine/FFmpegStreams.h"
#include "engine/FrameStages.h"
extern "C" {
#include <libavutil/intreadwrite.h>
}
#include "media/AVCodecStubs.h"
#include "media/AVFilterStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFUtils.h"

namespace kv::engine::transcode {

namespace {

const char* CodecName(const TOutputStream& ost)
{
    return ost.NeedsEncoding && ost.Encoder->codec ? ost.Encoder->codec->name : "copy";
}

// Into the muxer. Containers refuse time stamps that go back; a damaged input can
// have them, so they are moved just past the previous packet instead of ending the run.
void MuxPacket(TCustomFFmpeg& task, TOutputStream& ost, AVPacket* pkt)
{
    AVFormatContext* oc = task.OutputFiles[ost.FileIndex];
    const AVRational tb = ost.Stream->time_base;
    if (pkt->dts != AV_NOPTS_VALUE && ost.LastMuxDts != AV_NOPTS_VALUE) {
        const std::int64_t least = ost.LastMuxDts + ((oc->oformat->flags & AVFMT_TS_NONSTRICT) ? 0 : 1);
        if (pkt->dts < least) {
            if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < least) pkt->pts = least;
            pkt->dts = least;
        }
    }
    if (pkt->pts != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE && pkt->pts < pkt->dts) pkt->pts = pkt->dts;
    if (pkt->dts != AV_NOPTS_VALUE) ost.LastMuxDts = pkt->dts;
    const std::int64_t start = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (start != AV_NOPTS_VALUE) {
        const double end = static_cast<double>(start + std::max<std::int64_t>(pkt->duration, 0)) * av_q2d(tb);
        ost.WrittenTime = std::max(ost.WrittenTime, end);
    }
    ost.Written = true;
    const int r = av::av_interleaved_write_frame(oc, pkt);
    if (r < 0) throw FFmpegException(WriteFailureText(oc, media::OpenErrorText("av_interleaved_write_frame()", r)));
}

void FilterReport(TCustomFFmpeg& task, TOutputStream& ost, std::size_t index, int code)
{
    const std::string text = media::OpenErrorText(
        Format("%s failed for stream %d, codec %s", ost.Filters[index]->filter->name, ost.StreamIndex, CodecName(ost)),
        code);
    if (task.ExitOnError) throw FFmpegException(text);
    if (task.LogHandler) task.Log(llError, text);
}

// Through filters index.. of the chain; a null packet drains the chain.
void FilterAndMux(TCustomFFmpeg& task, TOutputStream& ost, std::size_t index, AVPacket* pkt)
{
    if (index == ost.Filters.size()) {
        if (pkt) MuxPacket(task, ost, pkt);
        return;
    }
    AVBSFContext* bsf = ost.Filters[index].get();
    int r = av::av_bsf_send_packet(bsf, pkt);
    if (r < 0) {
        FilterReport(task, ost, index, r);
        if (pkt) av::av_packet_unref(pkt);
        return;
    }
    // The filter took the packet's data; the record is free for its output.
    // Draining needs a record of its own, freed with the call.
    media::PacketHandle own(pkt ? nullptr : av::av_packet_alloc());
    AVPacket* out = pkt ? pkt : own.get();
    if (!out) return;
    while ((r = av::av_bsf_receive_packet(bsf, out)) >= 0) {
        out->stream_index = ost.StreamIndex;
        FilterAndMux(task, ost, index + 1, out);
        av::av_packet_unref(out);
    }
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) FilterReport(task, ost, index, r);
    if (!pkt) FilterAndMux(task, ost, index + 1, nullptr);
}

// The decoded stream's clock advances by one picture's duration.
std::int64_t PictureDuration(const TInputStream& ist, const AVFrame* frame, const AVPacket* pkt)
{
    // A picture's own duration where the container keeps it: a variable rate's pictures
    // differ, and the codec's rate is then only its time base.
    if (frame && frame->pkt_duration > 0)
        return av::av_rescale_q(frame->pkt_duration, ist.Stream->time_base, AV_TIME_BASE_Q);
    AVRational rate{0, 1};
    if (ist.Decoder && ist.Decoder->framerate.num > 0 && ist.Decoder->framerate.den > 0) rate = ist.Decoder->framerate;
    else if (ist.Stream->avg_frame_rate.num > 0 && ist.Stream->avg_frame_rate.den > 0) rate = ist.Stream->avg_frame_rate;
    else if (ist.Stream->r_frame_rate.num > 0 && ist.Stream->r_frame_rate.den > 0) rate = ist.Stream->r_frame_rate;
    if (rate.num > 0) {
        const std::int64_t ticks = 2 + (frame ? frame->repeat_pict : 0);
        return av::av_rescale(1000000LL * ticks, rate.den, 2LL * rate.num);
    }
    if (pkt && pkt->duration > 0) return av::av_rescale_q(pkt->duration, ist.Stream->time_base, AV_TIME_BASE_Q);
    return 0;
}

std::int64_t AudioDuration(const TInputStream& ist, const AVPacket* pkt)
{
    const AVCodecParameters* par = ist.Stream->codecpar;
    if (par->sample_rate <= 0) return 0;
    int samples = par->frame_size;
    if (samples <= 0 && pkt) samples = av::av_get_audio_frame_duration2(const_cast<AVCodecParameters*>(par), pkt->size);
    if (samples > 0) return 1000000LL * samples / par->sample_rate;
    if (pkt && pkt->duration > 0) return av::av_rescale_q(pkt->duration, ist.Stream->time_base, AV_TIME_BASE_Q);
    return 0;
}

// Whether a copied packet belongs to the output's section from the start to the
// recording time; packets cannot be cut. Sound is taken from the packet that ends
// after the start to the one that lies mostly before the end. Pictures are taken
// from the start (or from the key frame before it that the input was sought to); the
// first one in decoding order that would be shown at or after the end ends the
// stream, as later ones may depend on it.
bool InSection(TCustomFFmpeg& task, TOutputStream& ost, const TInputStream& ist, const AVPacket* pkt)
{
    const bool sound = ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    const std::int64_t own = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    const std::int64_t shown = own != AV_NOPTS_VALUE ? av::av_rescale_q(own, ist.Stream->time_base, AV_TIME_BASE_Q)
                                                     : ist.Pts;
    const std::int64_t duration = sound ? AudioDuration(ist, pkt) : 0;
    if (task.RecordingTime != INT64_MAX && shown + duration / 2 - task.StartTime >= task.RecordingTime) {
        ost.Ended = true;
        return false;
    }
    if (sound) return shown >= task.StartTime || shown + duration > task.StartTime;
    // A cue still on screen at the start is shown from the start (CopyPacket cuts it).
    if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && pkt->duration > 0)
        return shown + av::av_rescale_q(pkt->duration, ist.Stream->time_base, AV_TIME_BASE_Q) > task.StartTime;
    return task.StartTime == 0 || ist.Pts >= task.StartTime;
}

// A copied cue on the output's time line: what ends before its start goes, what
// began before it is shown from the start for the rest of its time.
bool CueInSection(AVPacket* cue)
{
    if (cue->pts == AV_NOPTS_VALUE || cue->pts >= 0) return true;
    if (cue->duration <= 0 || cue->pts + cue->duration <= 0) return false;
    cue->duration += cue->pts;
    cue->pts = cue->dts = 0;
    return true;
}

void CopyTimedPacket(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist,
                     const AVPacket* pkt)
{
    if (ost.Ended || !InSection(task, ost, ist, pkt)) return;
    if (ost.FrameNumber == 0 && !(pkt->flags & AV_PKT_FLAG_KEY) && !task.CopyInitialNonKeyframes) return;
    const AVMediaType type = ist.Stream->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO) task.AudioBytes += pkt->size;
    else if (type == AVMEDIA_TYPE_VIDEO) {
        task.VideoBytes += pkt->size;
        ost.OutputTicks += 1;
    }
    AVPacket* opkt = run.OutPacket.get();
    if (av::av_packet_ref(opkt, pkt) < 0) throw FFmpegException("av_malloc fail");
    const AVRational itb = ist.Stream->time_base, otb = ost.Stream->time_base;
    opkt->stream_index = ost.StreamIndex;
    // On the output's time line, which begins at the start.
    const std::int64_t start = av::av_rescale_q(task.StartTime, AV_TIME_BASE_Q, otb);
    opkt->pts = pkt->pts != AV_NOPTS_VALUE ? av::av_rescale_q(pkt->pts, itb, otb) - start : AV_NOPTS_VALUE;
    opkt->dts = (pkt->dts != AV_NOPTS_VALUE ? av::av_rescale_q(pkt->dts, itb, otb)
                                            : av::av_rescale_q(ist.Pts, AV_TIME_BASE_Q, otb)) -
                start;
    opkt->duration = av::av_rescale_q(pkt->duration, itb, otb);
    if (type == AVMEDIA_TYPE_SUBTITLE && !CueInSection(opkt)) {
        av::av_packet_unref(opkt);
        return;
    }
    opkt->flags = pkt->flags;
    opkt->pos = -1;
    WritePacket(task, ost, opkt);
    av::av_packet_unref(opkt);
    ost.FrameNumber += 1;
}

void CopyPacket(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, const AVPacket* pkt)
{
    if (!ost.CopyTimes) return CopyTimedPacket(task, run, ost, ist, pkt);
    ost.CopyTimes->Push(pkt);
    while (const AVPacket* timed = ost.CopyTimes->Next()) CopyTimedPacket(task, run, ost, ist, timed);
}

// One decoded picture or block of samples to every output the stream feeds.
// Reading at the input's own rate: wait until the wall clock reaches the stream's time.
void EmulateRate(const TCustomFFmpeg& task, const TInputStream& ist)
{
    if (!task.RateEmu) return;
    const std::int64_t now = av::av_gettime() - ist.WallStart;
    if (ist.Pts - now > 1000) std::this_thread::sleep_for(std::chrono::milliseconds((ist.Pts - now) / 1000));
}

// The part of a decoded frame's way that stays on the packet loop: the hooks (their
// hand-off is synchronous), reading at the input's rate and the start; the rest goes
// to the stream's frame stage, or is done here when the run has none.
void HandlePicture(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex, AVFrame* frame)
{
    const AVMediaType type = ist.Stream->codecpar->codec_type;
    const bool filtered = type == AVMEDIA_TYPE_VIDEO && task.UseVideoFilters && ist.FilterSource;
    if (type == AVMEDIA_TYPE_VIDEO) PrepareVideoFrame(task, ist, frame);
    EmulateRate(task, ist);
    // What ends before the start goes; the frame paths cut the rest to the sample and
    // place pictures on the output's time line. The filter graph still sees it.
    const bool encode = !(ist.Pts < task.StartTime && ist.NextPts <= task.StartTime);
    if (!encode && !filtered) return;
    const TFrameClock clock{ist.Pts, ist.NextPts, run.Hooks ? run.Hooks->HookFrameNumber : 0};
    if (run.Stages && run.Stages->Takes(istIndex)) {
        run.Stages->Push(istIndex, frame, clock, encode);
        return;
    }
    const std::int64_t pts = EncodeFrame(task, run, ist, istIndex, frame, clock, encode);
    // The filtered pictures' times stay with the stream.
    if (filtered && encode) ist.Pts = pts;
}

// Corrected pictures come out at their own times, possibly later than they went in.
void HandleCorrected(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex)
{
    const std::int64_t pts = ist.Pts, nextPts = ist.NextPts;
    while (AVFrame* corrected = TakeCorrected(ist)) {
        // A picture held back lasts as long as the one just decoded.
        if (corrected->pts != AV_NOPTS_VALUE) {
            ist.Pts = corrected->pts;
            ist.NextPts = corrected->pts + (nextPts - pts);
        }
        HandlePicture(task, run, ist, istIndex, corrected);
    }
    ist.Pts = pts;
    ist.NextPts = nextPts;
}

void HandleFrame(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex, AVFrame* frame)
{
    if (!ist.Correction || ist.Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
        HandlePicture(task, run, ist, istIndex, frame);
        return;
    }
    if (PushForCorrection(ist, frame)) HandleCorrected(task, run, ist, istIndex);
}

void HandleSubtitle(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex, const AVPacket* pkt)
{
    int got = 0;
    const int r = av::avcodec_decode_subtitle2(ist.Decoder, &run.Subtitle.Value, &got, const_cast<AVPacket*>(pkt));
    if (r < 0) throw r;
    if (!got) return;
    // EncodeSubtitle places the cue in the section (or leaves it out).
    for (auto& ost : run.OutputStreamTable) {
        if (ost->SourceIndex == istIndex && ost->NeedsEncoding)
            EncodeSubtitle(task, run, *ost, ist, run.Subtitle.Value, pkt->pts);
    }
    run.Subtitle.Clear();
}

}  // namespace

std::string WriteFailureText(const AVFormatContext* output, const std::string& otherwise)
{
    if (!output || !output->pb || output->pb->error >= 0) return otherwise;
    return Format("Could not write '%s': %s", output->url, media::ErrorReason(output->pb->error).c_str());
}

void WritePacket(TCustomFFmpeg& task, TOutputStream& ost, AVPacket* packet)
{
    FilterAndMux(task, ost, 0, packet);
}

void TakeEncoded(TCustomFFmpeg& task, TOutputStream& ost, AVPacket* pkt)
{
    if (ost.Encoder->codec_type == AVMEDIA_TYPE_VIDEO) {
        task.VideoBytes += pkt->size;
        std::size_t size = 0;
        if (const std::uint8_t* q = av::av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &size); q && size >= 6) {
            ost.LastQuality = static_cast<float>(AV_RL32(q));
            ost.LastPictType = q[4];
            for (int i = 0; i < std::min<int>(q[5], 3) && size >= 8 + 8 * static_cast<std::size_t>(i + 1); ++i)
                ost.LastError[i] = AV_RL64(q + 8 + 8 * i);
        }
    } else {
        task.AudioBytes += pkt->size;
    }
    WritePacket(task, ost, pkt);
}

int DrainEncoder(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost)
{
    AVCodecContext* enc = ost.Encoder;
    AVPacket* staged = StagePacket();
    AVPacket* pkt = staged ? staged : run.OutPacket.get();
    int last = 0;
    for (;;) {
        const int r = av::avcodec_receive_packet(enc, pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0)
            throw FFmpegException(enc->codec_type == AVMEDIA_TYPE_VIDEO ? "Video encoding failed"
                                                                        : "Audio encoding failed");
        last = pkt->size;
        ost.LastCodedPts = pkt->pts;
        if (ost.PassLogFile && enc->stats_out) std::fprintf(ost.PassLogFile.get(), "%s", enc->stats_out);
        pkt->stream_index = ost.StreamIndex;
        av::av_packet_rescale_ts(pkt, enc->time_base, ost.Stream->time_base);
        // A stage hands its packets back to the packet loop, which writes them.
        if (staged) {
            ReturnFromStage(ost, pkt);
            continue;
        }
        TakeEncoded(task, ost, pkt);
        av::av_packet_unref(pkt);
    }
    return last;
}

std::int64_t EncodeFrame(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex, AVFrame* frame,
                         TFrameClock clock, bool encode)
{
    const AVMediaType type = ist.Stream->codecpar->codec_type;
    const bool filtered = type == AVMEDIA_TYPE_VIDEO && task.UseVideoFilters && ist.FilterSource;
    if (filtered) {
        frame->pts = clock.Pts;
        if (av::av_buffersrc_add_frame_flags(ist.FilterSource, frame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) return clock.Pts;
    }
    if (!encode) return clock.Pts;
    if (type == AVMEDIA_TYPE_AUDIO && task.AudioVolume != 256) AdjustVolume(frame, task.AudioVolume);
    for (;;) {
        AVFrame* picture = frame;
        if (filtered) {
            av::av_frame_unref(ist.FilteredPicture.get());
            if (av::av_buffersink_get_frame(ist.FilterSink, ist.FilteredPicture.get()) < 0) break;
            picture = ist.FilteredPicture.get();
            if (picture->pts != AV_NOPTS_VALUE) clock.Pts = picture->pts;
        }
        for (auto& ostPtr : run.OutputStreamTable) {
            TOutputStream& ost = *ostPtr;
            if (ost.SourceIndex != istIndex || !ost.NeedsEncoding) continue;
            switch (ost.Encoder->codec_type) {
            case AVMEDIA_TYPE_AUDIO: EncodeAudio(task, run, ost, ist, picture, clock); break;
            case AVMEDIA_TYPE_VIDEO: {
                if (filtered && picture->sample_aspect_ratio.num) {
                    ost.Encoder->sample_aspect_ratio = picture->sample_aspect_ratio;
                }
                const int frameSize = EncodeVideo(task, run, ost, ist, picture, clock);
                if (!task.VStatsFileName.empty() && frameSize != 0) WriteVideoStats(task, ost, frameSize);
                break;
            }
            default: throw FFmpegException("invalid codec_type");
            }
        }
        if (!filtered) break;
    }
    if (filtered) av::av_frame_unref(ist.FilteredPicture.get());
    return clock.Pts;
}

void FlushEncoders(TCustomFFmpeg& task, TTranscodeRun& run, int istIndex)
{
    for (auto& ostPtr : run.OutputStreamTable) {
        TOutputStream& ost = *ostPtr;
        if (ost.SourceIndex != istIndex || !ost.NeedsEncoding) continue;
        const AVMediaType otype = ost.Encoder->codec_type;
        if (otype != AVMEDIA_TYPE_AUDIO && otype != AVMEDIA_TYPE_VIDEO) continue;
        if (otype == AVMEDIA_TYPE_AUDIO) FlushAudio(task, run, ost);
        else FlushVideo(task, run, ost);
        const int r = av::avcodec_send_frame(ost.Encoder, nullptr);
        if (r < 0 && r != AVERROR_EOF)
            throw FFmpegException(otype == AVMEDIA_TYPE_VIDEO ? "Video encoding failed" : "Audio encoding failed");
        DrainEncoder(task, run, ost);
    }
}

// The input clock moves to the packet; outputs that copy take the packet as it came.
static void CopyToOutputs(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex, AVPacket* packet)
{
    const AVMediaType type = ist.Stream->codecpar->codec_type;
    if (packet->dts != AV_NOPTS_VALUE)
        ist.Pts = ist.NextPts = av::av_rescale_q(packet->dts, ist.Stream->time_base, AV_TIME_BASE_Q);
    bool copies = false;
    for (auto& ost : run.OutputStreamTable) copies |= ost->SourceIndex == istIndex && !ost->NeedsEncoding;
    if (copies) {
        if (!ist.NeedsDecoding) {
            ist.Pts = ist.NextPts;
            if (type == AVMEDIA_TYPE_AUDIO) ist.NextPts += AudioDuration(ist, packet);
            else if (type == AVMEDIA_TYPE_VIDEO) ist.NextPts += PictureDuration(ist, nullptr, packet);
            EmulateRate(task, ist);   // a decoded stream waits with its frames instead
        }
        for (auto& ost : run.OutputStreamTable)
            if (ost->SourceIndex == istIndex && !ost->NeedsEncoding) CopyPacket(task, run, *ost, ist, packet);
    }
}

// The packet through the stream's decoder, each frame it gives to the outputs; -1 when
// the decoder fails, 1 when the stream is done with it (a subtitle).
static int DecodePacket(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex, AVPacket* packet)
{
    const AVMediaType type = ist.Stream->codecpar->codec_type;
    try {
        if (type == AVMEDIA_TYPE_SUBTITLE) {
            if (packet) HandleSubtitle(task, run, ist, istIndex, packet);
            return 1;
        }
        if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) return -1;
        if (packet && ist.DecodeOrderOnly && packet->dts != AV_NOPTS_VALUE)
            ist.ReorderTimes.Add(av::av_rescale_q(packet->dts, ist.Stream->time_base, AV_TIME_BASE_Q));
        int sent = av::avcodec_send_packet(ist.Decoder, packet);
        if (sent < 0 && sent != AVERROR_EOF && sent != AVERROR(EAGAIN)) return -1;
        int frames = 0;
        for (;;) {
            AVFrame* frame = run.Picture.get();
            const int r = av::avcodec_receive_frame(ist.Decoder, frame);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            if (r < 0) return -1;
            if (++frames > 1 && packet && task.Verbose >= llInfo)
                task.Log(llError, Format("Multiple frames in a packet from stream %d", packet->stream_index));
            // The frame's own time: a decoder that works on several packets at once
            // gives its frames later than the packets that carried them.
            const std::int64_t own = frame->best_effort_timestamp;
            ist.Pts = own != AV_NOPTS_VALUE ? av::av_rescale_q(own, ist.Stream->time_base, AV_TIME_BASE_Q) : ist.NextPts;
            if (ist.DecodeOrderOnly && type == AVMEDIA_TYPE_VIDEO)
                ist.ReorderTimes.Take(ist.Pts, ist.Decoder->has_b_frames + std::max(ist.Decoder->thread_count, 1));
            ist.NextPts = ist.Pts;
            if (type == AVMEDIA_TYPE_AUDIO) {
                if (frame->sample_rate > 0) ist.NextPts += 1000000LL * frame->nb_samples / frame->sample_rate;
            } else {
                ist.NextPts += PictureDuration(ist, frame, packet);
            }
            HandleFrame(task, run, ist, istIndex, frame);
            av::av_frame_unref(frame);
            // A decoder that refused the packet while its output was full takes it now.
            if (sent == AVERROR(EAGAIN)) {
                sent = av::avcodec_send_packet(ist.Decoder, packet);
                if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF) return -1;
            }
        }
    } catch (int) {
        return -1;
    }

    return 0;
}

int HandlePacket(TCustomFFmpeg& task, TTranscodeRun& run, TInputStream& ist, int istIndex, AVPacket* packet)
{
    if (ist.NextPts == AV_NOPTS_VALUE) ist.NextPts = ist.Pts;
    if (packet) CopyToOutputs(task, run, ist, istIndex, packet);
    if (!ist.NeedsDecoding) return 0;
    if (!ist.Decoder) return -1;
    const int decoded = DecodePacket(task, run, ist, istIndex, packet);
    if (decoded != 0) return decoded < 0 ? -1 : 0;
    if (!packet) {
        // End of stream: the correction and then the encoders give back what they hold.
        if (ist.Correction && PushForCorrection(ist, nullptr)) HandleCorrected(task, run, ist, istIndex);
        if (run.Stages && run.Stages->Takes(istIndex)) run.Stages->End(istIndex);
        else FlushEncoders(task, run, istIndex);
    }
    return 0;
}

void FinishCopy(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost)
{
    if (!ost.CopyTimes) return;
    TInputStream& ist = *run.InputStreamTable[ost.SourceIndex];
    ost.CopyTimes->Push(nullptr);
    while (const AVPacket* timed = ost.CopyTimes->Next()) CopyTimedPacket(task, run, ost, ist, timed);
}

}  // namespace kv::engine::transcode
