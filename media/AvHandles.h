#pragma once
// Owning handles for every object the media libraries hand out. Owners hold these
// instead of raw pointers, so an early return or an exception frees what was made;
// this header is the one place that calls the libraries' free and close functions.
//
// Each deleter goes through its slot and does nothing when the slot is unbound: a
// handle outliving the loaded library (a static torn down at exit) must not jump
// through a null slot.
#include <memory>

#include "media/AVCodecStubs.h"
#include "media/AVFilterStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/SwResampleStubs.h"
#include "media/SwScaleStubs.h"

namespace kv::media {

namespace handles_detail {
// Deleter for the libraries' `free(T**)` form (sets the caller's pointer to null).
template <typename T, auto& Slot>
struct FreeByAddress {
    void operator()(T* p) const
    {
        if (p && Slot) Slot(&p);
    }
};
// Deleter for the libraries' `free(T*)` form.
template <typename T, auto& Slot>
struct FreeByValue {
    void operator()(T* p) const
    {
        if (p && Slot) Slot(p);
    }
};
}  // namespace handles_detail

template <typename T, auto& Slot>
using HandleByAddress = std::unique_ptr<T, handles_detail::FreeByAddress<T, Slot>>;
template <typename T, auto& Slot>
using HandleByValue = std::unique_ptr<T, handles_detail::FreeByValue<T, Slot>>;

using FrameHandle = HandleByAddress<AVFrame, av::av_frame_free>;
using PacketHandle = HandleByAddress<AVPacket, av::av_packet_free>;
using CodecContextHandle = HandleByAddress<AVCodecContext, av::avcodec_free_context>;
using CodecParametersHandle = HandleByAddress<AVCodecParameters, av::avcodec_parameters_free>;
using BitstreamFilterHandle = HandleByAddress<AVBSFContext, av::av_bsf_free>;
using ParserHandle = HandleByValue<AVCodecParserContext, av::av_parser_close>;
using InputFormatHandle = HandleByAddress<AVFormatContext, av::avformat_close_input>;
using FilterGraphHandle = HandleByAddress<AVFilterGraph, av::avfilter_graph_free>;
using FilterInOutHandle = HandleByAddress<AVFilterInOut, av::avfilter_inout_free>;
using ScalerHandle = HandleByValue<SwsContext, av::sws_freeContext>;
using ResamplerHandle = HandleByAddress<SwrContext, av::swr_free>;
using AudioFifoHandle = HandleByValue<AVAudioFifo, av::av_audio_fifo_free>;
using FifoHandle = HandleByAddress<AVFifo, av::av_fifo_freep2>;
using DictionaryHandle = HandleByAddress<AVDictionary, av::av_dict_free>;

// An output format context together with the file it writes: the file is closed
// (flushing what the muxer buffered) before the context goes, unless the format
// writes no file of its own.
struct OutputFormatDeleter {
    void operator()(AVFormatContext* p) const
    {
        if (!p) return;
        if (p->oformat && !(p->oformat->flags & AVFMT_NOFILE) && p->pb && av::avio_closep)
            av::avio_closep(&p->pb);
        if (av::avformat_free_context) av::avformat_free_context(p);
    }
};
using OutputFormatHandle = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;

// Memory from av_malloc and friends.
struct AvMemoryDeleter {
    void operator()(void* p) const
    {
        if (p && av::av_free) av::av_free(p);
    }
};
template <typename T>
using AvMemoryHandle = std::unique_ptr<T, AvMemoryDeleter>;

}  // namespace kv::media
