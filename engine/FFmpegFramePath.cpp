// Decoded samples on their way into the audio encoders: conversion of samples and
// their cutting into the encoder's frame size.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/FFmpegStreams.h"
#include "media/AVCodecStubs.h"
#include "media/AVUtilStubs.h"
#include "media/SwResampleStubs.h"
#include "media/SwScaleStubs.h"

namespace kv::engine::transcode {

namespace {

// Sends whole encoder frames from the FIFO; with `all`, also the short rest.
void SendAudioFrames(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, bool all)
{
    AVCodecContext* enc = ost.Encoder;
    const bool variable = enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE;
    for (;;) {
        const int held = av::av_audio_fifo_size(ost.SampleFifo);
        int count = enc->frame_size > 0 && !variable ? enc->frame_size : held;
        if (held <= 0) break;
        if (held < count) {
            if (!all || !(enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME)) break;
            count = held;
        }
        AVFrame* frame = ost.AudioFrame;
        if (!frame->buf[0] || frame->nb_samples != count) {
            av::av_frame_unref(frame);
            frame->nb_samples = count;
            frame->format = enc->sample_fmt;
            frame->sample_rate = enc->sample_rate;
            if (av::av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0 ||
                av::av_frame_get_buffer(frame, 0) < 0)
                throw FFmpegException("Audio encoding failed");
        } else if (av::av_frame_make_writable(frame) < 0) {
            throw FFmpegException("Audio encoding failed");
        }
        av::av_audio_fifo_read(ost.SampleFifo, reinterpret_cast<void**>(frame->extended_data), count);
        frame->pts = ost.OutputTicks;
        ost.OutputTicks += count;
        if (av::avcodec_send_frame(enc, frame) < 0) throw FFmpegException("Audio encoding failed");
        DrainEncoder(task, run, ost);
    }
}

}  // namespace

void EncodeAudio(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream&, AVFrame* samples)
{
    AVCodecContext* enc = ost.Encoder;
    if (!ost.SampleFifo || !ost.AudioFrame) return;
    const bool convert = samples->format != enc->sample_fmt || samples->sample_rate != enc->sample_rate ||
                         av::av_channel_layout_compare(&samples->ch_layout, &enc->ch_layout) != 0;
    if (convert && !ost.Resampler) {
        if (av::swr_alloc_set_opts2(&ost.Resampler, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
                                    &samples->ch_layout, static_cast<AVSampleFormat>(samples->format),
                                    samples->sample_rate, 0, nullptr) < 0 ||
            av::swr_init(ost.Resampler) < 0) {
            av::swr_free(&ost.Resampler);
            throw FFmpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                         samples->ch_layout.nb_channels, samples->sample_rate,
                                         enc->ch_layout.nb_channels, enc->sample_rate));
        }
    }

    // The output clock follows the sync input; it never goes back, so that the
    // encoder's time stamps stay in order.
    if (enc->sample_rate > 0) {
        const double syncTime = static_cast<double>(ost.SyncInput->Pts - task.StartTime) / 1000000.0;
        const std::int64_t ticks =
            std::llrint(syncTime * enc->sample_rate) - av::av_audio_fifo_size(ost.SampleFifo);
        if (ticks > ost.OutputTicks) ost.OutputTicks = ticks;
    }

    if (ost.Resampler) {
        const int capacity = av::swr_get_out_samples(ost.Resampler, samples->nb_samples);
        if (capacity > ost.ResampleCapacity) {
            av::av_freep(&ost.ResampleData);
            ost.ResampleBuffer.assign(std::max(enc->ch_layout.nb_channels, 1), nullptr);
            if (av::av_samples_alloc(ost.ResampleBuffer.data(), nullptr, enc->ch_layout.nb_channels, capacity,
                                     enc->sample_fmt, 0) < 0)
                throw FFmpegException("av_malloc failed");
            ost.ResampleData = ost.ResampleBuffer[0];
            ost.ResampleCapacity = capacity;
        }
        // The buffer's planes were laid out for the encoder's format at the first call.
        const int n = av::swr_convert(ost.Resampler, ost.ResampleBuffer.data(), ost.ResampleCapacity,
                                      const_cast<const std::uint8_t**>(samples->extended_data), samples->nb_samples);
        if (n < 0) throw FFmpegException("Audio encoding failed");
        if (n > 0 && av::av_audio_fifo_write(ost.SampleFifo, reinterpret_cast<void**>(ost.ResampleBuffer.data()), n) < n)
            throw FFmpegException("av_fifo_realloc2() failed");
    } else if (av::av_audio_fifo_write(ost.SampleFifo, reinterpret_cast<void**>(samples->extended_data),
                                       samples->nb_samples) < samples->nb_samples) {
        throw FFmpegException("av_fifo_realloc2() failed");
    }
    SendAudioFrames(task, run, ost, false);
}

void FlushAudio(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost)
{
    if (!ost.SampleFifo || !ost.AudioFrame) return;
    if (ost.Resampler && ost.ResampleCapacity > 0) {
        const int n = av::swr_convert(ost.Resampler, ost.ResampleBuffer.data(), ost.ResampleCapacity, nullptr, 0);
        if (n > 0) av::av_audio_fifo_write(ost.SampleFifo, reinterpret_cast<void**>(ost.ResampleBuffer.data()), n);
    }
    SendAudioFrames(task, run, ost, true);
}

}  // namespace kv::engine::transcode
