#include "engine/PictureCorrection.h"

#include <algorithm>
#include <cmath>

#include "engine/CombingProbe.h"
#include "engine/FFmpegStreams.h"
#include "engine/SubtitleBurnIn.h"
#include "engine/TextFormat.h"
#include "media/AVFilterStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
extern "C" {
#include <libavutil/mastering_display_metadata.h>
}

namespace kv::engine {

namespace {

// Light of SDR white in an HDR picture (the broadcasters' reference white): the
// tone mapper takes it as 1.0, so that what an SDR picture could show stays as it was.
constexpr double ReferenceWhiteNits = 203;
// Peak assumed for HDR sources that do not say theirs.
constexpr double DefaultPeakNits = 1000;

bool IsFullRangeFormat(int format)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P: return true;
    default: return false;
    }
}

bool IsRgbFormat(int format)
{
    const AVPixFmtDescriptor* d = av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    return d && (d->flags & AV_PIX_FMT_FLAG_RGB);
}

int Depth(int format)
{
    const AVPixFmtDescriptor* d = av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    return d && d->nb_components > 0 ? d->comp[0].depth : 8;
}

// Matrices that convert colour alike share a family: BT.601's two names.
int MatrixFamily(AVColorSpace m)
{
    return m == AVCOL_SPC_BT470BG ? AVCOL_SPC_SMPTE170M : m;
}

bool IsHdrTransfer(AVColorTransferCharacteristic t)
{
    return t == AVCOL_TRC_SMPTE2084 || t == AVCOL_TRC_ARIB_STD_B67;
}

// The source's tags, with the size class filling in what it does not say.
TColourTags SourceColour(const TSourcePicture& s)
{
    int w = s.Width, h = s.Height;
    media::UprightSize(s.Orientation, w, h);
    const TColourTags guess = SizeClassColour(w, h);
    TColourTags c = s.Colour;
    if (c.Matrix == AVCOL_SPC_UNSPECIFIED || c.Matrix == AVCOL_SPC_RESERVED) c.Matrix = guess.Matrix;
    if (c.Primaries == AVCOL_PRI_UNSPECIFIED || c.Primaries == AVCOL_PRI_RESERVED) c.Primaries = guess.Primaries;
    if (c.Transfer == AVCOL_TRC_UNSPECIFIED || c.Transfer == AVCOL_TRC_RESERVED) c.Transfer = guess.Transfer;
    if (c.Range == AVCOL_RANGE_UNSPECIFIED)
        c.Range = IsFullRangeFormat(s.PixelFormat) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    return c;
}

std::string ToneMapChain(const TSourcePicture& s, const TColourTags& source, const TColourTags& out)
{
    const double peakNits = s.PeakNits > ReferenceWhiteNits ? s.PeakNits : DefaultPeakNits;
    // Linear light with SDR white at 1.0, BT.709 primaries, the peak rolled off
    // smoothly above the range SDR can show (values below it are kept), saturation kept;
    // then the BT.709 curve and the output's matrix.
    return Format("zscale=tin=%d:min=%d:pin=%d:rin=%s:t=linear:npl=%g,format=gbrpf32le,zscale=p=709,"
                  "tonemap=tonemap=mobius:param=0.6:desat=0:peak=%g,"
                  "zscale=tin=linear:pin=709:t=709:m=%d:r=limited,format=yuv420p",
                  static_cast<int>(source.Transfer), static_cast<int>(source.Matrix),
                  static_cast<int>(source.Primaries), source.Range == AVCOL_RANGE_JPEG ? "full" : "limited",
                  ReferenceWhiteNits, peakNits / ReferenceWhiteNits, static_cast<int>(out.Matrix));
}

std::string ColourChain(const TColourTags& in, const TColourTags& out, bool fast)
{
    return Format("colorspace=ispace=%d:iprimaries=%d:itrc=%d:irange=%d:space=%d:primaries=%d:trc=%d:range=%d:"
                  "fast=%d",
                  in.Matrix, in.Primaries, in.Transfer, in.Range, out.Matrix, out.Primaries, out.Transfer,
                  out.Range, fast ? 1 : 0);
}

void Append(std::string& chain, const std::string& step)
{
    if (step.empty()) return;
    if (!chain.empty()) chain += ',';
    chain += step;
}

// The brightest light the stream's mastering or light level metadata gives.
double PeakNits(const AVStream* st)
{
    double peak = 0;
    for (int i = 0; i < st->nb_side_data; ++i) {
        const AVPacketSideData& sd = st->side_data[i];
        if (sd.type == AV_PKT_DATA_CONTENT_LIGHT_LEVEL && sd.size >= static_cast<int>(sizeof(AVContentLightMetadata))) {
            const auto* cll = reinterpret_cast<const AVContentLightMetadata*>(sd.data);
            if (cll->MaxCLL > 0) return cll->MaxCLL;
        }
        if (sd.type == AV_PKT_DATA_MASTERING_DISPLAY_METADATA &&
            sd.size >= static_cast<int>(sizeof(AVMasteringDisplayMetadata))) {
            const auto* m = reinterpret_cast<const AVMasteringDisplayMetadata*>(sd.data);
            if (m->has_luminance && m->max_luminance.den > 0) peak = av_q2d(m->max_luminance);
        }
    }
    return peak;
}

// A stream's HDR descriptions go with its pictures into an output that keeps HDR.
void KeepHdrMetadata(const AVStream* in, AVStream* out)
{
    for (int i = 0; i < in->nb_side_data; ++i) {
        const AVPacketSideData& sd = in->side_data[i];
        if (sd.type != AV_PKT_DATA_CONTENT_LIGHT_LEVEL && sd.type != AV_PKT_DATA_MASTERING_DISPLAY_METADATA) continue;
        std::uint8_t* copy = av::av_stream_new_side_data(out, sd.type, sd.size);
        if (copy) std::copy_n(sd.data, sd.size, copy);
    }
}

bool BuildGraph(TPictureCorrection& c, const TPictureShape& in)
{
    c.Graph.reset(av::avfilter_graph_alloc());
    c.Source = c.Sink = nullptr;
    if (!c.Graph) return false;
    c.Graph->nb_threads = c.Threads;
    const AVRational sar = in.SampleAspect.num > 0 && in.SampleAspect.den > 0 ? in.SampleAspect : AVRational{1, 1};
    const std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", in.Width,
                                    in.Height, in.PixelFormat, AV_TIME_BASE, sar.num, sar.den);
    if (av::avfilter_graph_create_filter(&c.Source, av::avfilter_get_by_name("buffer"), "in", args.c_str(), nullptr,
                                         c.Graph.get()) < 0 ||
        av::avfilter_graph_create_filter(&c.Sink, av::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                         c.Graph.get()) < 0)
        return false;
    media::FilterInOutHandle outputs(av::avfilter_inout_alloc());
    media::FilterInOutHandle inputs(av::avfilter_inout_alloc());
    if (!outputs || !inputs) return false;
    outputs->name = av::av_strdup("in");
    outputs->filter_ctx = c.Source;
    inputs->name = av::av_strdup("out");
    inputs->filter_ctx = c.Sink;
    AVFilterInOut* ins = inputs.release();
    AVFilterInOut* outs = outputs.release();
    const int parsed = av::avfilter_graph_parse_ptr(c.Graph.get(), c.Filters.c_str(), &ins, &outs, nullptr);
    const media::FilterInOutHandle leftInputs(ins), leftOutputs(outs);   // what the parse did not link
    if (parsed < 0 || av::avfilter_graph_config(c.Graph.get(), nullptr) < 0) return false;
    c.In = in;
    c.Out.Width = av::av_buffersink_get_w(c.Sink);
    c.Out.Height = av::av_buffersink_get_h(c.Sink);
    c.Out.PixelFormat = av::av_buffersink_get_format(c.Sink);
    c.Out.SampleAspect = av::av_buffersink_get_sample_aspect_ratio(c.Sink);
    return true;
}

bool StreamSaysColour(AVCodecID codec)
{
    switch (codec) {
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_HEVC:
    case AV_CODEC_ID_VP9:
    case AV_CODEC_ID_AV1: return true;
    default: return false;
    }
}

bool InterlacedCoding(const TCustomFFmpeg& task, const AVCodecContext* enc)
{
    constexpr int flags = AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    const AVCodecContext* defaults = task.OptionContext ? task.OptionContext->CodecSets[0].get() : nullptr;
    return (enc->flags & flags) || (defaults && (defaults->flags & flags));
}

// A source that does not say it is interlaced may still comb.
void LookForCombing(TCustomFFmpeg& task, const TInputStream& ist, TSourcePicture& source)
{
    const TFieldOrder order = FieldOrderByContent(task.InputFiles[ist.FileIndex].get(), ist.StreamIndex);
    if (order == TFieldOrder::foProgressive) return;
    source.Interlaced = true;
    source.Parity = order == TFieldOrder::foTopFirst ? 0 : 1;
    task.Log(llInfo, Format("Input stream #%d.%d combs: its pictures are deinterlaced (%s first)", ist.FileIndex,
                            ist.StreamIndex, order == TFieldOrder::foTopFirst ? "top field" : "bottom field"));
}

struct TInnerSize {
    int Width = 0, Height = 0;
};

// The size the picture has inside the output's bands, where the engine would only
// scale it down to that (nothing cut, no pad asked for, no user filters); 0 x 0 where
// it would do more or the picture does not get smaller.
TInnerSize ShrinkTarget(const TCustomFFmpeg& task, const TOutputStream& ost, int shownWidth, int shownHeight)
{
    const AVCodecContext* enc = ost.Encoder;
    const int cuts = task.CropLeft + task.CropRight + task.CropTop + task.CropBottom + task.PadLeft + task.PadRight +
                     task.PadTop + task.PadBottom;
    const int w = enc->width - ost.PadLeftBand - ost.PadRightBand, h = enc->height - ost.PadTopBand - ost.PadBottomBand;
    if (task.UseVideoFilters || cuts != 0 || w <= 0 || h <= 0 ||
        static_cast<std::int64_t>(w) * h >= static_cast<std::int64_t>(shownWidth) * shownHeight)
        return {};
    return {w, h};
}

// The engine's own scaler, with its flags, as a filter.
std::string ScaleFilter(const TCustomFFmpeg& task, int width, int height)
{
    return Format("scale=w=%d:h=%d:flags=%lld", width, height, static_cast<long long>(task.ChosenScaleFlags()));
}

}  // namespace

TColourTags SizeClassColour(int width, int height)
{
    TColourTags c;
    c.Range = AVCOL_RANGE_MPEG;
    if (width >= 1280 || height >= 720) {
        c.Primaries = AVCOL_PRI_BT709;
        c.Transfer = AVCOL_TRC_BT709;
        c.Matrix = AVCOL_SPC_BT709;
    } else {
        const bool lines625 = height == 576 || height == 288;
        c.Primaries = lines625 ? AVCOL_PRI_BT470BG : AVCOL_PRI_SMPTE170M;
        c.Transfer = AVCOL_TRC_SMPTE170M;
        c.Matrix = lines625 ? AVCOL_SPC_BT470BG : AVCOL_SPC_SMPTE170M;
    }
    return c;
}

TCorrectionPlan PlanCorrection(const TSourcePicture& s, const TTargetPicture& t, bool deinterlace)
{
    TCorrectionPlan plan;
    // Fields are woven in the stored picture: they are joined before it is turned.
    if (deinterlace)
        plan.Deinterlace = Format("bwdif=mode=send_frame:parity=%s:deint=all",
                                  s.Parity == 0 ? "tff" : s.Parity == 1 ? "bff" : "auto");
    plan.Turn = media::OrientationFilters(s.Orientation);

    const TColourTags source = SourceColour(s);
    TColourTags target = SizeClassColour(t.Width, t.Height);
    const bool rgbTarget = IsRgbFormat(t.PixelFormat);
    // Pictures turned into RGB by the scaler are read with the BT.601 matrix.
    if (rgbTarget) target.Matrix = AVCOL_SPC_SMPTE170M;
    const AVColorRange outRange = IsFullRangeFormat(t.PixelFormat) || rgbTarget ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;

    if (IsHdrTransfer(source.Transfer)) {
        if (Depth(t.PixelFormat) > 8 && !rgbTarget) {
            plan.Output = source;   // kept as it is, with its tags
            plan.Output.Range = outRange;
            return plan;
        }
        TColourTags out = target;
        out.Primaries = AVCOL_PRI_BT709;
        out.Transfer = AVCOL_TRC_BT709;
        plan.Colour = ToneMapChain(s, source, out);
        plan.Output = out;
        plan.Output.Range = outRange;
        if (rgbTarget) plan.Output.Matrix = AVCOL_SPC_RGB;
        return plan;
    }

    // Kept and named where the stream can say it: no conversion to pay for or to lose levels in.
    const bool matrixChange = MatrixFamily(source.Matrix) != MatrixFamily(target.Matrix) &&
                              (!t.StreamSaysColour || rgbTarget);
    // A full-range picture in a format the scaler takes for studio range.
    const bool rangeChange = source.Range == AVCOL_RANGE_JPEG && !IsFullRangeFormat(s.PixelFormat);
    TColourTags out = source;
    if (matrixChange || rangeChange) {
        if (matrixChange) out = target;
        out.Range = AVCOL_RANGE_MPEG;
        TColourTags in = source;
        if (!rangeChange && IsFullRangeFormat(s.PixelFormat)) in.Range = AVCOL_RANGE_MPEG;   // made studio range first
        // BT.601 and BT.709 share their transfer and nearly their primaries: the
        // matrix alone is converted between them.
        const bool fast = MatrixFamily(source.Matrix) != AVCOL_SPC_BT2020_NCL &&
                          MatrixFamily(target.Matrix) != AVCOL_SPC_BT2020_NCL;
        plan.Colour = ColourChain(in, out, fast);
    }
    plan.Output = out;
    plan.Output.Range = outRange;
    if (rgbTarget) plan.Output.Matrix = AVCOL_SPC_RGB;
    return plan;
}

namespace transcode {

void SetupPictureCorrection(TCustomFFmpeg& task, TInputStream& ist, TOutputStream& ost)
{
    const AVStream* st = ist.Stream;
    const AVCodecParameters* par = st->codecpar;
    AVCodecContext* enc = ost.Encoder;
    TSourcePicture source;
    source.Width = par->width;
    source.Height = par->height;
    source.PixelFormat = par->format;
    source.Colour = {par->color_primaries, par->color_trc, par->color_space, par->color_range};
    source.Orientation = media::StreamOrientation(st);
    source.Interlaced = par->field_order == AV_FIELD_TT || par->field_order == AV_FIELD_BB ||
                        par->field_order == AV_FIELD_TB || par->field_order == AV_FIELD_BT;
    source.PeakNits = PeakNits(st);
    const bool mayDeinterlace = !task.DeinterlaceChosen && !InterlacedCoding(task, enc) && !ist.Correction;
    if (mayDeinterlace && !source.Interlaced) LookForCombing(task, ist, source);
    const bool deinterlace = source.Interlaced && mayDeinterlace;
    const TCorrectionPlan plan =
        PlanCorrection(source, {enc->width, enc->height, enc->pix_fmt, StreamSaysColour(enc->codec_id)}, deinterlace);

    enc->color_primaries = plan.Output.Primaries;
    enc->color_trc = plan.Output.Transfer;
    enc->colorspace = plan.Output.Matrix;
    enc->color_range = plan.Output.Range;
    if (IsHdrTransfer(plan.Output.Transfer)) KeepHdrMetadata(st, ost.Stream);

    // The first output a stream feeds decides; a damaged stream of unknown format
    // goes uncorrected.
    const std::string burnIn = BurnInFilters(task, task.OutputFiles[ost.FileIndex]);
    const bool turns = !plan.Turn.empty(), converts = !plan.Colour.empty();
    // A picture that only gets smaller on its way out is made smaller first: the turn
    // and the colour conversion then work on fewer pixels (a quarter for HD into SD).
    // Subtitles are drawn upright at the source's size, so a turn waits for them.
    int shownWidth = par->width, shownHeight = par->height;
    media::UprightSize(source.Orientation, shownWidth, shownHeight);
    const TInnerSize inner = ShrinkTarget(task, ost, shownWidth, shownHeight);
    const bool shrinks = inner.Width > 0;
    std::string chain = plan.Deinterlace;
    if (shrinks && burnIn.empty() && (turns || converts)) {
        // Before a quarter turn the picture still lies on its side.
        const bool sideways = source.Orientation.SwapsSides();
        Append(chain, ScaleFilter(task, sideways ? inner.Height : inner.Width, sideways ? inner.Width : inner.Height));
        Append(chain, plan.Turn);
    } else {
        Append(chain, plan.Turn);
        Append(chain, burnIn);
        if (shrinks && converts) Append(chain, ScaleFilter(task, inner.Width, inner.Height));
    }
    Append(chain, plan.Colour);
    if (chain.empty() || ist.Correction || par->width <= 0 || par->height <= 0 ||
        !av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(par->format)))
        return;
    auto c = std::make_unique<TPictureCorrection>();
    c->Filters = chain;
    c->Threads = task.CodecThreads();
    c->Corrected.reset(av::av_frame_alloc());
    const AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
    if (!c->Corrected || !BuildGraph(*c, {par->width, par->height, par->format, sar}))
        throw FFmpegException(Format("Cannot prepare the pictures of input stream #%d.%d", ist.FileIndex,
                                     ist.StreamIndex));
    ist.Correction = std::move(c);
}

namespace {

// The pixel shapes MPEG-1 can name (its pel aspect ratio table, as height over width
// in ten-thousandths).
constexpr int Mpeg1PelHeights[] = {10000, 6735, 7031, 7615, 8055, 8437, 8935, 9157, 9815, 10255, 10695, 10950, 11575, 12015};

}  // namespace

AVRational WritablePixelShape(AVCodecID codec, AVRational wanted)
{
    if (codec == AV_CODEC_ID_FLV1 || codec == AV_CODEC_ID_H263) return {1, 1};
    if (codec != AV_CODEC_ID_MPEG1VIDEO || wanted.num <= 0 || wanted.den <= 0) return {0, 1};
    // The encoder takes the table's shape nearest to the one asked for.
    AVRational best{1, 1};
    for (const int height : Mpeg1PelHeights)
        if (std::fabs(10000.0 / height - av_q2d(wanted)) <= std::fabs(av_q2d(best) - av_q2d(wanted)))
            best = AVRational{10000, height};
    return best;
}

namespace {

// The display aspect of the part of the source the crops leave; `fallback` where the
// source's is not known.
double ContentShape(const TCustomFFmpeg& task, double fallback)
{
    const int keptWidth = task.SourceWidth - task.CropLeft - task.CropRight;
    const int keptHeight = task.SourceHeight - task.CropTop - task.CropBottom;
    if (task.SourceAspectRatio <= 0 || keptWidth <= 0 || keptHeight <= 0) return fallback;
    return double(task.SourceAspectRatio) * keptWidth / task.SourceWidth * task.SourceHeight / keptHeight;
}

}  // namespace

bool LetterboxWhereShapeIsLost(TCustomFFmpeg& task, TOutputStream& ost)
{
    AVCodecContext* enc = ost.Encoder;
    const AVRational sar = enc->sample_aspect_ratio;
    const AVRational written = task.KeepPictureShape ? AVRational{1, 1} : WritablePixelShape(enc->codec_id, sar);
    if (written.num <= 0 || task.UseVideoFilters || sar.num <= 0 || sar.den <= 0 ||
        task.PadLeft + task.PadRight + task.PadTop + task.PadBottom != 0 || enc->width < 16 || enc->height < 16)
        return false;
    // The picture keeps the source's own shape: an aspect asked for is the frame's,
    // which the pixels written cannot show otherwise.
    const double asked = av_q2d(sar) * enc->width / enc->height;
    const double shown = task.FrameAspectForced ? ContentShape(task, asked) : asked;
    const double frame = av_q2d(written) * enc->width / enc->height;
    // Within half a percent nobody sees the difference; bands would cost more picture.
    if (std::fabs(frame / shown - 1) < 0.005) return false;
    // The picture's shape fitted into the frame with the pixels written; bands even for 4:2:0.
    int w = enc->width, h = enc->height;
    if (shown > frame) h = std::max(2, static_cast<int>(std::lround(enc->width * av_q2d(written) / shown / 2)) * 2);
    else w = std::max(2, static_cast<int>(std::lround(enc->height * shown / av_q2d(written) / 2)) * 2);
    ost.PadTopBand = (enc->height - h) / 4 * 2;
    ost.PadBottomBand = enc->height - h - ost.PadTopBand;
    ost.PadLeftBand = (enc->width - w) / 4 * 2;
    ost.PadRightBand = enc->width - w - ost.PadLeftBand;
    enc->sample_aspect_ratio = ost.Stream->sample_aspect_ratio = written;
    return true;
}

void KeepDisplayMatrix(const AVStream* in, AVStream* out)
{
    for (int i = 0; i < in->nb_side_data; ++i) {
        const AVPacketSideData& sd = in->side_data[i];
        if (sd.type != AV_PKT_DATA_DISPLAYMATRIX) continue;
        std::uint8_t* copy = av::av_stream_new_side_data(out, sd.type, sd.size);
        if (copy) std::copy_n(sd.data, sd.size, copy);
    }
}

TPictureShape DecodedShape(const TInputStream& ist)
{
    if (ist.Correction) return ist.Correction->Out;
    const AVCodecParameters* par = ist.Stream->codecpar;
    const AVRational sar = ist.Stream->sample_aspect_ratio.num ? ist.Stream->sample_aspect_ratio
                                                               : par->sample_aspect_ratio;
    return {par->width, par->height, par->format, sar};
}

bool PushForCorrection(TInputStream& ist, AVFrame* picture)
{
    TPictureCorrection& c = *ist.Correction;
    if (!picture) return c.Source && av::av_buffersrc_add_frame_flags(c.Source, nullptr, 0) >= 0;
    // A decoder may change the picture's size or format mid-stream.
    if (!c.Source || picture->width != c.In.Width || picture->height != c.In.Height ||
        picture->format != c.In.PixelFormat) {
        TPictureShape in{picture->width, picture->height, picture->format, picture->sample_aspect_ratio};
        if (in.SampleAspect.num <= 0) in.SampleAspect = c.In.SampleAspect;
        if (!BuildGraph(c, in)) {
            c.Graph.reset();
            c.Source = c.Sink = nullptr;
            return false;
        }
    }
    picture->pts = ist.Pts;
    return av::av_buffersrc_add_frame_flags(c.Source, picture, AV_BUFFERSRC_FLAG_KEEP_REF) >= 0;
}

AVFrame* TakeCorrected(TInputStream& ist)
{
    TPictureCorrection& c = *ist.Correction;
    av::av_frame_unref(c.Corrected.get());
    if (!c.Sink || av::av_buffersink_get_frame(c.Sink, c.Corrected.get()) < 0) return nullptr;
    // Deinterlacers count in fields: their clock runs twice as fine.
    AVFrame* out = c.Corrected.get();
    if (out->pts != AV_NOPTS_VALUE)
        out->pts = av::av_rescale_q(out->pts, av::av_buffersink_get_time_base(c.Sink), AV_TIME_BASE_Q);
    return out;
}

}  // namespace transcode

}  // namespace kv::engine
