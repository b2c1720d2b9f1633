#include "engine/CombingProbe.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/TextFormat.h"
#include "media/AVCodecStubs.h"
#include "media/AVFilterStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/AvHandles.h"

namespace kv::engine {

namespace {

// Enough pictures for the detector to settle, few enough to cost a blink.
constexpr int PicturesLooked = 30;
// Packets read at the most to find them among the other streams'.
constexpr int PacketsRead = 600;
// No interlaced picture format has more lines than HD's 1080 (coded as 1088).
constexpr int MostInterlacedLines = 1088;

struct TDetector {
    media::FilterGraphHandle Graph;
    AVFilterContext* Source = nullptr;
    AVFilterContext* Sink = nullptr;
    media::FrameHandle Last;   // the newest picture out, with the counts so far
};

bool BuildDetector(TDetector& d, const AVCodecContext* dec, AVRational timeBase)
{
    d.Graph.reset(av::avfilter_graph_alloc());
    d.Last.reset(av::av_frame_alloc());
    if (!d.Graph || !d.Last) return false;
    d.Graph->nb_threads = 1;
    const AVRational sar = dec->sample_aspect_ratio.num > 0 ? dec->sample_aspect_ratio : AVRational{1, 1};
    const std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", dec->width,
                                    dec->height, dec->pix_fmt, timeBase.num, timeBase.den, sar.num, sar.den);
    AVFilterContext* idet = nullptr;
    return av::avfilter_graph_create_filter(&d.Source, av::avfilter_get_by_name("buffer"), "in", args.c_str(),
                                            nullptr, d.Graph.get()) >= 0 &&
           av::avfilter_graph_create_filter(&idet, av::avfilter_get_by_name("idet"), "idet", nullptr, nullptr,
                                            d.Graph.get()) >= 0 &&
           av::avfilter_graph_create_filter(&d.Sink, av::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                            d.Graph.get()) >= 0 &&
           av::avfilter_link(d.Source, 0, idet, 0) >= 0 && av::avfilter_link(idet, 0, d.Sink, 0) >= 0 &&
           av::avfilter_graph_config(d.Graph.get(), nullptr) >= 0;
}

void Drain(TDetector& d)
{
    media::FrameHandle out(av::av_frame_alloc());
    while (out && av::av_buffersink_get_frame(d.Sink, out.get()) >= 0) {
        av::av_frame_unref(d.Last.get());
        av::av_frame_move_ref(d.Last.get(), out.get());
    }
}

double Count(const AVFrame* f, const char* key)
{
    const AVDictionaryEntry* e = f ? av::av_dict_get(f->metadata, key, nullptr, 0) : nullptr;
    return e ? std::strtod(e->value, nullptr) : 0;
}

// Pictures that must show teeth before the look counts as combed, as the detector's own
// minimum of interlaced verdicts.
constexpr int CombedPicturesNeeded = 4;

// The description of a format that keeps its luma samples in a plane of their own,
// one or two bytes each; null for any other.
const AVPixFmtDescriptor* LumaPlaneFormat(int format)
{
    const AVPixFmtDescriptor* d = av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    constexpr std::uint64_t other = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL |
                                    AV_PIX_FMT_FLAG_BITSTREAM;
    if (!d || (d->flags & other))
        return nullptr;
    const int bytes = d->comp[0].depth > 8 ? 2 : 1;
    const bool own = d->comp[0].plane == 0 && d->comp[0].step == bytes && d->comp[0].offset == 0 &&
                     (d->nb_components == 1 || d->comp[1].plane != 0);
    return own ? d : nullptr;
}

// Whether the picture itself shows the teeth of woven fields: rows that stand out from
// both rows of the other field around them, in the same direction, while the rows of
// their own field two above and below agree with them. A progressive picture that only
// moves (rolling credits, a pan by whole rows) has none, however the detector, which
// compares it with its neighbours, sees it. Formats without a plane of luma samples
// count as combed: the detector alone decides for them.
bool ShowsTeeth(const AVFrame* f)
{
    const AVPixFmtDescriptor* d = LumaPlaneFormat(f->format);
    if (!d) return true;
    const int bytes = d->comp[0].step, shift = d->comp[0].depth - 8;
    const auto sample = [&](int x, int y) {
        const std::uint8_t* row = f->data[0] + static_cast<std::ptrdiff_t>(y) * f->linesize[0];
        return bytes == 1 ? int(row[x]) : int(reinterpret_cast<const std::uint16_t*>(row)[x]) >> shift;
    };
    constexpr int Step = 16;   // levels of 8-bit luma that tell a tooth from noise
    std::int64_t teeth = 0, looked = 0;
    for (int y = 2; y + 2 < f->height; ++y)
        for (int x = 0; x < f->width; x += 2, ++looked) {
            const int c = sample(x, y);
            const int up = c - sample(x, y - 1), down = c - sample(x, y + 1);
            const int own = std::abs(c - sample(x, y - 2)) + std::abs(c - sample(x, y + 2));
            teeth += up * down > Step * Step && 2 * own < std::abs(up) + std::abs(down);
        }
    // One sample in a thousand: a moving edge in an SD picture gives far more.
    return looked > 0 && teeth * 1000 >= looked;
}

// The detector's verdict over every picture it looked at one by one, where enough of
// them show teeth.
TFieldOrder Verdict(const AVFrame* last, int toothed)
{
    const double tff = Count(last, "lavfi.idet.single.tff"), bff = Count(last, "lavfi.idet.single.bff");
    const double progressive = Count(last, "lavfi.idet.single.progressive");
    // Clearly: combed pictures well outnumber the clean ones (still pictures decide neither).
    if (tff + bff < 4 || tff + bff < 3 * progressive || toothed < CombedPicturesNeeded)
        return TFieldOrder::foProgressive;
    return tff >= bff ? TFieldOrder::foTopFirst : TFieldOrder::foBottomFirst;
}

// The stream of the new opening that is `wanted` of the first.
int SameStream(const AVFormatContext* scan, const AVFormatContext* ic, int wanted)
{
    const AVStream* w = ic->streams[wanted];
    if (wanted < static_cast<int>(scan->nb_streams) && scan->streams[wanted]->id == w->id &&
        scan->streams[wanted]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        return wanted;
    for (unsigned i = 0; i < scan->nb_streams; ++i)
        if (scan->streams[i]->id == w->id && scan->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            return static_cast<int>(i);
    return -1;
}

bool Decodable(const AVFormatContext* ic, int streamIndex)
{
    if (!ic || !ic->url || !ic->iformat || streamIndex < 0 || streamIndex >= static_cast<int>(ic->nb_streams))
        return false;
    const AVCodecParameters* par = ic->streams[streamIndex]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_VIDEO || par->width <= 0 || par->height < 32 ||
        par->height > MostInterlacedLines)
        return false;
    // Reading a pipe or a device again would take what the conversion is to read.
    std::error_code ec;
    return std::filesystem::is_regular_file(ic->url, ec);
}

}  // namespace

TFieldOrder FieldOrderByContent(const AVFormatContext* ic, int streamIndex)
{
    if (!Decodable(ic, streamIndex)) return TFieldOrder::foProgressive;
    AVFormatContext* raw = nullptr;
    if (av::avformat_open_input(&raw, ic->url, ic->iformat, nullptr) < 0) return TFieldOrder::foProgressive;
    const media::InputFormatHandle scan(raw);
    const int index = SameStream(scan.get(), ic, streamIndex);
    const AVStream* st = ic->streams[streamIndex];
    const AVCodec* codec = av::avcodec_find_decoder(st->codecpar->codec_id);
    media::CodecContextHandle dec(codec ? av::avcodec_alloc_context3(codec) : nullptr);
    if (index < 0 || !dec || av::avcodec_parameters_to_context(dec.get(), st->codecpar) < 0)
        return TFieldOrder::foProgressive;
    dec->thread_count = 1;
    if (av::avcodec_open2(dec.get(), codec, nullptr) < 0) return TFieldOrder::foProgressive;

    TDetector detector;
    media::PacketHandle pkt(av::av_packet_alloc());
    media::FrameHandle picture(av::av_frame_alloc());
    if (!pkt || !picture) return TFieldOrder::foProgressive;
    int looked = 0, toothed = 0;
    for (int read = 0; looked < PicturesLooked && read < PacketsRead; ++read) {
        if (av::av_read_frame(scan.get(), pkt.get()) < 0) break;
        const bool ours = pkt->stream_index == index && av::avcodec_send_packet(dec.get(), pkt.get()) >= 0;
        av::av_packet_unref(pkt.get());
        while (ours && looked < PicturesLooked && av::avcodec_receive_frame(dec.get(), picture.get()) >= 0) {
            // The detector is made for the first picture's size and format; a change ends the look.
            if (!detector.Graph && !BuildDetector(detector, dec.get(), scan->streams[index]->time_base))
                return TFieldOrder::foProgressive;
            const bool sameShape =
                picture->width == dec->width && picture->height == dec->height && picture->format == dec->pix_fmt;
            toothed += sameShape && ShowsTeeth(picture.get());
            // The detector takes the picture over.
            if (!sameShape || av::av_buffersrc_add_frame_flags(detector.Source, picture.get(), 0) < 0) {
                looked = PicturesLooked;
                break;
            }
            ++looked;
            Drain(detector);
        }
        av::av_frame_unref(picture.get());
    }
    if (!detector.Graph) return TFieldOrder::foProgressive;
    // The end of the stream lets the detector give out the picture it holds back.
    if (av::av_buffersrc_add_frame_flags(detector.Source, nullptr, 0) >= 0) Drain(detector);
    return Verdict(detector.Last.get(), toothed);
}

}  // namespace kv::engine
