#include "engine/CopyTimes.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
}

#include "engine/FFmpegException.h"
#include "media/AVCodecStubs.h"

namespace kv::engine {

bool TCopyTimes::Needed(const AVStream* in, const char* inputFormat, const AVOutputFormat* outputFormat)
{
    const AVCodecParameters* par = in->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_VIDEO || !inputFormat || std::strcmp(inputFormat, "avi") != 0) return false;
    if (!outputFormat || std::strcmp(outputFormat->name, "avi") == 0) return false;
    // Pictures that are never reordered show at their decoding times, which AVI gives.
    const AVCodecDescriptor* codec = av::avcodec_descriptor_get(par->codec_id);
    return !codec || !(codec->props & AV_CODEC_PROP_INTRA_ONLY);
}

TCopyTimes::TCopyTimes(const AVStream* in) : In(in)
{
    const AVCodecParameters* par = in->codecpar;
    Picture.reset(av::av_frame_alloc());
    Probe.reset(av::av_packet_alloc());
    Filtered.reset(av::av_packet_alloc());
    Out.reset(av::av_packet_alloc());
    for (auto& held : Held) held.reset(av::av_packet_alloc());
    if (!Picture || !Probe || !Filtered || !Out || std::any_of(Held.begin(), Held.end(), [](auto& h) { return !h; }))
        throw FFmpegException("av_malloc fail");
    if (par->codec_id == AV_CODEC_ID_MPEG4) {
        AVBSFContext* bsf = nullptr;
        const AVBitStreamFilter* unpack = av::av_bsf_get_by_name("mpeg4_unpack_bframes");
        if (unpack && av::av_bsf_alloc(unpack, &bsf) >= 0) {
            Unpack.reset(bsf);
            if (av::avcodec_parameters_copy(bsf->par_in, par) < 0) throw FFmpegException("av_malloc fail");
            bsf->time_base_in = in->time_base;
            if (av::av_bsf_init(bsf) < 0) Unpack.reset();
        }
    }
    const AVCodec* codec = av::avcodec_find_decoder(par->codec_id);
    if (!codec) return;   // no order to learn: pictures show in decoding order
    Decoder.reset(av::avcodec_alloc_context3(codec));
    if (!Decoder || av::avcodec_parameters_to_context(Decoder.get(), par) < 0)
        throw FFmpegException("av_malloc fail");
    // Only the order of the pictures matters, not how they look.
    Decoder->thread_count = 1;
    Decoder->skip_loop_filter = AVDISCARD_ALL;
    Decoder->flags2 |= AV_CODEC_FLAG2_FAST;
    if (av::avcodec_open2(Decoder.get(), codec, nullptr) < 0) Decoder.reset();
}

void TCopyTimes::Push(const AVPacket* pkt)
{
    if (!pkt) {
        if (Unpack && av::av_bsf_send_packet(Unpack.get(), nullptr) >= 0)
            while (av::av_bsf_receive_packet(Unpack.get(), Filtered.get()) >= 0) Unpacked(Filtered.get());
        Decode(nullptr);
        Ended = true;
        return;
    }
    if (av::av_packet_ref(Filtered.get(), pkt) < 0) throw FFmpegException("av_malloc fail");
    if (!Unpack) {
        Unpacked(Filtered.get());
        return;
    }
    // A filter that refuses a packet leaves it to be copied as it came.
    if (av::av_bsf_send_packet(Unpack.get(), Filtered.get()) < 0) {
        Unpacked(Filtered.get());
        return;
    }
    while (av::av_bsf_receive_packet(Unpack.get(), Filtered.get()) >= 0) Unpacked(Filtered.get());
}

void TCopyTimes::Unpacked(AVPacket* pkt)
{
    if (Count == Capacity) throw FFmpegException("Copied pictures were not taken in time");
    const int at = (First + Count) % Capacity;
    av::av_packet_unref(Held[at].get());
    av::av_packet_move_ref(Held[at].get(), pkt);
    Known[at] = false;
    const std::int64_t number = FirstNumber + Count;
    ++Count;
    AVPacket* held = Held[at].get();
    if (held->dts != AV_NOPTS_VALUE) {
        // Decoding times only rise; a repeated one would give two pictures one time.
        if (LastDts != AV_NOPTS_VALUE && held->dts <= LastDts) held->dts = LastDts + 1;
        LastDts = held->dts;
        Times.Add(held->dts);
    }
    if (!Decoder || held->dts == AV_NOPTS_VALUE) {
        Known[at] = true;
        held->pts = held->dts;
        return;
    }
    if (av::av_packet_ref(Probe.get(), held) < 0) throw FFmpegException("av_malloc fail");
    Probe->pts = number;
    Probe->dts = AV_NOPTS_VALUE;
    Decode(Probe.get());
    av::av_packet_unref(Probe.get());
}

void TCopyTimes::Decode(const AVPacket* pkt)
{
    if (!Decoder) return;
    int sent = av::avcodec_send_packet(Decoder.get(), pkt);
    TakePictures();
    // A decoder whose output was full takes the packet once it has given its pictures.
    if (sent == AVERROR(EAGAIN)) {
        av::avcodec_send_packet(Decoder.get(), pkt);
        TakePictures();
    }
}

void TCopyTimes::TakePictures()
{
    while (av::avcodec_receive_frame(Decoder.get(), Picture.get()) >= 0) {
        const std::int64_t number = Picture->pts;
        av::av_frame_unref(Picture.get());
        if (number == AV_NOPTS_VALUE || number < FirstNumber || number >= FirstNumber + Count) continue;
        const int at = static_cast<int>((First + (number - FirstNumber)) % Capacity);
        std::int64_t time = 0;
        if (Known[at] || !Times.Take(time, Decoder->has_b_frames + 1)) continue;
        Held[at]->pts = time;
        Known[at] = true;
    }
}

std::int64_t TCopyTimes::DecodingShift()
{
    if (Shift >= 0) return Shift;
    const int delay = std::max(In->codecpar->video_delay, Decoder ? Decoder->has_b_frames : 0);
    const AVRational rate = In->r_frame_rate.num > 0 ? In->r_frame_rate : In->avg_frame_rate;
    const std::int64_t picture =
        rate.num > 0 && rate.den > 0 ? std::max<std::int64_t>(1, av::av_rescale_q(1, av_inv_q(rate), In->time_base)) : 1;
    Shift = delay * picture;
    return Shift;
}

AVPacket* TCopyTimes::Next()
{
    av::av_packet_unref(Out.get());
    if (Count == 0) return nullptr;
    if (!Known[First]) {
        // A picture the decoder never gave goes on at its decoding time, at the end or
        // once far more are held than any codec reorders.
        if (!Ended && Count <= Capacity - 4) return nullptr;
        Held[First]->pts = Held[First]->dts;
    }
    av::av_packet_move_ref(Out.get(), Held[First].get());
    First = (First + 1) % Capacity;
    --Count;
    ++FirstNumber;
    if (Out->dts != AV_NOPTS_VALUE) Out->dts -= DecodingShift();
    return Out.get();
}

}  // namespace kv::engine
