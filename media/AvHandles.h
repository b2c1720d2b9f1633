#pragma once
// Owning handles for every object the media libraries hand out. Owners hold these
// instead of raw pointers, so an early return or an exception frees what was made;
// this header is the one place that calls the libraries' free and close functions.
//
// Each deleter goes through its slot and does nothing when the slot is unbound: a
// handle outliving the loaded library (a static torn down at exit) must not jump
// through a null slot.
#include <cstddef>
#include <cstdio>
#include <memory>
#include <utility>

#include "media/AVCodecStubs.h"
#include "media/AVFilterStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/MyUtilStubs.h"
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
using FormatContextHandle = HandleByValue<AVFormatContext, av::avformat_free_context>;   // never opened
using IoContextHandle = HandleByAddress<AVIOContext, av::avio_closep>;
// A file opened through the libraries' C runtime (two-pass statistics).
using StdioFileHandle = HandleByValue<std::FILE, av::my_fclose>;

// A decoded subtitle: its rectangles are the decoder's until avsubtitle_free.
struct SubtitleHolder {
    AVSubtitle Value{};
    SubtitleHolder() = default;
    SubtitleHolder(const SubtitleHolder&) = delete;
    SubtitleHolder& operator=(const SubtitleHolder&) = delete;
    ~SubtitleHolder() { Clear(); }
    void Clear()
    {
        if (av::avsubtitle_free) av::avsubtitle_free(&Value);
    }
};

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

// A handle that also reads as its plain pointer: for the task's tables (files, codec
// contexts, option sets) that the option language, the transcode and the tests index
// like pointers. It owns exactly as the handle does; only the reading is implicit.
template <typename Handle>
class Viewed {
public:
    using Pointer = typename Handle::pointer;
    Viewed() = default;
    explicit Viewed(Pointer p) : handle_(p) {}
    Viewed(Handle&& h) : handle_(std::move(h)) {}
    Viewed& operator=(std::nullptr_t)
    {
        handle_.reset();
        return *this;
    }
    operator Pointer() const { return handle_.get(); }
    Pointer operator->() const { return handle_.get(); }
    Pointer get() const { return handle_.get(); }
    void reset(Pointer p = nullptr) { handle_.reset(p); }
    [[nodiscard]] Pointer release() { return handle_.release(); }

private:
    Handle handle_;
};

// The scaler for the given conversion, reusing the one held when it fits: the library
// frees the context it is handed when it cannot reuse it, so the handle lets go first.
template <typename Scaler, typename... Args>
SwsContext* CachedScaler(Scaler& scaler, Args... args)
{
    scaler.reset(av::sws_getCachedContext(scaler.release(), args...));
    return scaler.get();
}

}  // namespace kv::media
