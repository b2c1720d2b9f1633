#pragma once
// Presentation times for pictures copied out of a container that keeps decoding order
// only (AVI) into one that needs them (Matroska, MP4, ...). Which picture shows when
// is known only to a decoder, so one runs beside the copy: each packet goes in marked
// with its number, the pictures come out in display order carrying those numbers, and
// the n-th picture shown takes the n-th time of the stream. A packet waits (the
// decoder's reordering delay, a few pictures) until its time is known; decoding times
// are moved back by that delay so that no picture is shown before it is decoded.
// Packed B-frames (DivX, Xvid) are unpacked first, as containers other than AVI hold
// them.
#include <array>
#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

#include "engine/DecodeOrderTimes.h"
#include "media/AvHandles.h"

namespace kv::engine {

class TCopyTimes {
public:
    // True when `in`, read from `inputFormat`, needs its times made to be copied into
    // `outputFormat`.
    static bool Needed(const AVStream* in, const char* inputFormat, const AVOutputFormat* outputFormat);
    // Throws FFmpegException when the stream's decoder or filter cannot be opened.
    explicit TCopyTimes(const AVStream* in);

    // The next copied packet in decoding order (times in the input stream's base);
    // null at the end of the stream, after which every packet still held comes out.
    void Push(const AVPacket* pkt);
    // The next packet whose times are known, in decoding order; null when none is.
    // Valid until the next call.
    AVPacket* Next();

private:
    static constexpr int Capacity = 64;   // far beyond any codec's reordering

    void Unpacked(AVPacket* pkt);
    void Decode(const AVPacket* pkt);
    void TakePictures();
    std::int64_t DecodingShift();

    const AVStream* In;
    media::BitstreamFilterHandle Unpack;
    media::CodecContextHandle Decoder;
    media::FrameHandle Picture;
    media::PacketHandle Probe, Filtered, Out;
    std::array<media::PacketHandle, Capacity> Held;   // a ring in decoding order
    std::array<bool, Capacity> Known{};
    int First = 0, Count = 0;
    std::int64_t FirstNumber = 0;       // the number of Held[First]
    TDecodeOrderTimes Times;            // the stream's times not yet given to a picture
    std::int64_t Shift = -1;            // decoding times move back by this; < 0: not yet chosen
    std::int64_t LastDts = AV_NOPTS_VALUE;
    bool Ended = false;
};

}  // namespace kv::engine
