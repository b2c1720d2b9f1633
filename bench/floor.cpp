// The floor the engine is measured against: the shortest decode -> scale -> encode
// -> mux loop on the media libraries, linked directly, with the encoders, settings and
// thread counts the engine uses (library context defaults; every codec gets THREADS:
// 0, the libraries' own choice, for a task running alone, as the engine does).
//   floor INPUT OUTPUT VCODEC ACODEC WIDTH HEIGHT VBITRATE ABITRATE THREADS
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "LibraryCheck.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

struct Stream {
    AVCodecContext* dec = nullptr;
    AVCodecContext* enc = nullptr;
    AVStream* out = nullptr;
    int in = -1;
};

AVFormatContext* oc = nullptr;

void Drain(Stream& s, AVPacket* pkt)
{
    while (avcodec_receive_packet(s.enc, pkt) == 0) {
        av_packet_rescale_ts(pkt, s.enc->time_base, s.out->time_base);
        pkt->stream_index = s.out->index;
        Check(av_interleaved_write_frame(oc, pkt), "write");
    }
}

}  // namespace

int main(int argc, char** argv)
try {
    if (argc != 10) {
        std::fprintf(stderr, "usage: floor INPUT OUTPUT VCODEC ACODEC WIDTH HEIGHT VBITRATE ABITRATE THREADS\n");
        return 2;
    }
    const int width = std::atoi(argv[5]), height = std::atoi(argv[6]);
    const int threads = std::max(0, std::atoi(argv[9]));  // 0: the libraries choose
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* ic = nullptr;
    Check(avformat_open_input(&ic, argv[1], nullptr, nullptr), "open input");
    Check(avformat_find_stream_info(ic, nullptr), "stream info");
    Check(avformat_alloc_output_context2(&oc, nullptr, nullptr, argv[2]), "output format");

    Stream v, a;
    v.in = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    a.in = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    for (Stream* s : {&v, &a}) {
        AVStream* st = ic->streams[s->in];
        const AVCodec* dc = avcodec_find_decoder(st->codecpar->codec_id);
        s->dec = avcodec_alloc_context3(dc);
        avcodec_parameters_to_context(s->dec, st->codecpar);
        s->dec->thread_count = threads;
        s->dec->pkt_timebase = st->time_base;
        Check(avcodec_open2(s->dec, dc, nullptr), "open decoder");
    }
    const AVCodec* vc = avcodec_find_encoder_by_name(argv[3]);
    const AVCodec* ac = avcodec_find_encoder_by_name(argv[4]);
    if (!vc || !ac) throw std::runtime_error("encoder not found");
    const AVRational fps = av_guess_frame_rate(ic, ic->streams[v.in], nullptr);
    v.enc = avcodec_alloc_context3(vc);
    v.enc->thread_count = threads;
    v.enc->width = width;
    v.enc->height = height;
    v.enc->pix_fmt = AV_PIX_FMT_YUV420P;
    v.enc->time_base = av_inv_q(fps);
    v.enc->framerate = fps;
    v.enc->bit_rate = std::atoi(argv[7]);
    v.enc->sample_aspect_ratio = AVRational{1, 1};
    a.enc = avcodec_alloc_context3(ac);
    a.enc->thread_count = threads;
    a.enc->sample_rate = a.dec->sample_rate;
    av_channel_layout_default(&a.enc->ch_layout, 2);
    a.enc->sample_fmt = ac->sample_fmts ? ac->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    a.enc->time_base = AVRational{1, a.enc->sample_rate};
    a.enc->bit_rate = std::atoi(argv[8]);
    for (Stream* s : {&v, &a}) {
        if (oc->oformat->flags & AVFMT_GLOBALHEADER) s->enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        Check(avcodec_open2(s->enc, s->enc->codec, nullptr), "open encoder");
        s->out = avformat_new_stream(oc, nullptr);
        avcodec_parameters_from_context(s->out->codecpar, s->enc);
        s->out->time_base = s->enc->time_base;
    }
    Check(avio_open(&oc->pb, argv[2], AVIO_FLAG_WRITE), "open output");
    Check(avformat_write_header(oc, nullptr), "header");

    SwsContext* sws = sws_getContext(v.dec->width, v.dec->height, v.dec->pix_fmt, width, height, AV_PIX_FMT_YUV420P,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr);
    SwrContext* swr = nullptr;
    Check(swr_alloc_set_opts2(&swr, &a.enc->ch_layout, a.enc->sample_fmt, a.enc->sample_rate, &a.dec->ch_layout,
                              a.dec->sample_fmt, a.dec->sample_rate, 0, nullptr),
          "resampler");
    Check(swr_init(swr), "resampler");
    const int frameSize = a.enc->frame_size > 0 ? a.enc->frame_size : 1152;
    AVAudioFifo* fifo = av_audio_fifo_alloc(a.enc->sample_fmt, 2, frameSize * 4);

    AVPacket* pkt = av_packet_alloc();
    AVPacket* opkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    AVFrame* scaled = av_frame_alloc();
    scaled->format = AV_PIX_FMT_YUV420P;
    scaled->width = width;
    scaled->height = height;
    Check(av_frame_get_buffer(scaled, 0), "picture");
    AVFrame* samples = av_frame_alloc();
    int64_t vpts = 0, apts = 0;

    auto encodeAudio = [&](bool flush) {
        while (av_audio_fifo_size(fifo) >= frameSize || (flush && av_audio_fifo_size(fifo) > 0)) {
            const int n = std::min(frameSize, av_audio_fifo_size(fifo));
            av_frame_unref(samples);
            samples->nb_samples = n;
            samples->format = a.enc->sample_fmt;
            av_channel_layout_copy(&samples->ch_layout, &a.enc->ch_layout);
            samples->sample_rate = a.enc->sample_rate;
            Check(av_frame_get_buffer(samples, 0), "samples");
            av_audio_fifo_read(fifo, reinterpret_cast<void**>(samples->data), n);
            samples->pts = apts;
            apts += n;
            Check(avcodec_send_frame(a.enc, samples), "encode audio");
            Drain(a, opkt);
        }
    };
    auto decoded = [&](Stream& s) {
        while (avcodec_receive_frame(s.dec, frame) == 0) {
            if (&s == &v) {
                av_frame_make_writable(scaled);
                sws_scale(sws, frame->data, frame->linesize, 0, frame->height, scaled->data, scaled->linesize);
                scaled->pts = vpts++;
                Check(avcodec_send_frame(v.enc, scaled), "encode video");
                Drain(v, opkt);
            } else {
                const int out = swr_get_out_samples(swr, frame->nb_samples);
                uint8_t** buf = nullptr;
                av_samples_alloc_array_and_samples(&buf, nullptr, 2, out, a.enc->sample_fmt, 0);
                const int got = swr_convert(swr, buf, out, const_cast<const uint8_t**>(frame->extended_data),
                                            frame->nb_samples);
                if (got > 0) av_audio_fifo_write(fifo, reinterpret_cast<void**>(buf), got);
                av_freep(&buf[0]);
                av_freep(&buf);
                encodeAudio(false);
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(ic, pkt) >= 0) {
        Stream* s = pkt->stream_index == v.in ? &v : pkt->stream_index == a.in ? &a : nullptr;
        if (s) {
            Check(avcodec_send_packet(s->dec, pkt), "decode");
            decoded(*s);
        }
        av_packet_unref(pkt);
    }
    for (Stream* s : {&v, &a}) {
        avcodec_send_packet(s->dec, nullptr);
        decoded(*s);
    }
    encodeAudio(true);
    for (Stream* s : {&v, &a}) {
        avcodec_send_frame(s->enc, nullptr);
        Drain(*s, opkt);
    }
    Check(av_write_trailer(oc), "trailer");
    avio_closep(&oc->pb);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "floor: %s\n", e.what());
    return 1;
}
