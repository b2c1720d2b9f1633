#include "engine/CombingProbe.h"

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

// The detector's verdict over every picture it looked at one by one.
TFieldOrder Verdict(const AVFrame* last)
{
    const double tff = Count(last, "lavfi.idet.single.tff"), bff = Count(last, "lavfi.idet.single.bff");
    const double progressive = Count(last, "lavfi.idet.single.progressive");
    // Clearly: combed pictures well outnumber the clean ones (still pictures decide neither).
    if (tff + bff < 4 || tff + bff < 3 * progressive) return TFieldOrder::foProgressive;
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
    int looked = 0;
    for (int read = 0; looked < PicturesLooked && read < PacketsRead; ++read) {
        if (av::av_read_frame(scan.get(), pkt.get()) < 0) break;
        const bool ours = pkt->stream_index == index && av::avcodec_send_packet(dec.get(), pkt.get()) >= 0;
        av::av_packet_unref(pkt.get());
        while (ours && looked < PicturesLooked && av::avcodec_receive_frame(dec.get(), picture.get()) >= 0) {
            // The detector is made for the first picture's size and format; a change ends the look.
            if (!detector.Graph && !BuildDetector(detector, dec.get(), scan->streams[index]->time_base))
                return TFieldOrder::foProgressive;
            if (picture->width != dec->width || picture->height != dec->height || picture->format != dec->pix_fmt ||
                av::av_buffersrc_add_frame_flags(detector.Source, picture.get(), 0) < 0) {
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
    return Verdict(detector.Last.get());
}

}  // namespace kv::engine
