#include "workflow/SourceFacts.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "media/AVFormatStubs.h"
#include "media/AVProbe.h"
#include "media/AVUtilStubs.h"
#include "media/PictureOrientation.h"

namespace kv::workflow {

namespace {

void ReadPicture(AVFormatContext* context, AVStream* stream, TSourceFacts& facts)
{
    const AVCodecParameters* par = stream->codecpar;
    facts.VideoCodecId = par->codec_id;
    // The picture as it is shown: a turned one has its sides and pixel shape swapped.
    const media::TOrientation turn = media::StreamOrientation(stream);
    facts.Width = par->width;
    facts.Height = par->height;
    media::UprightSize(turn, facts.Width, facts.Height);
    const AVRational sar = av::av_guess_sample_aspect_ratio(context, stream, nullptr);
    if (sar.num > 0 && sar.den > 0) {
        facts.SarNum = turn.SwapsSides() ? sar.den : sar.num;
        facts.SarDen = turn.SwapsSides() ? sar.num : sar.den;
    }
    const AVRational rate = av::av_guess_frame_rate(context, stream, nullptr);
    if (rate.num > 0 && rate.den > 0) {
        facts.RateNum = rate.num;
        facts.RateDen = rate.den;
    }
    if (const AVPixFmtDescriptor* d = av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(par->format)))
        facts.BitsPerSample = d->comp[0].depth;
    facts.Hdr = par->color_trc == AVCOL_TRC_SMPTE2084 || par->color_trc == AVCOL_TRC_ARIB_STD_B67;
    facts.Primaries = par->color_primaries;
    facts.Transfer = par->color_trc;
    facts.Matrix = par->color_space;
}

}  // namespace

TSourceFacts ReadSourceFacts(const std::string& fileName)
{
    TSourceFacts facts;
    media::TAVProbe probe;
    if (!probe.OpenFile(fileName)) return facts;
    AVFormatContext* context = probe.FormatContext();
    media::TFileStreamInfo info;
    probe.GetFileStreamInfo(info);
    if (info.Duration > 0) facts.DurationMs = info.Duration / 1000;
    if (probe.FirstVideoStream() >= 0)
        ReadPicture(context, context->streams[probe.FirstVideoStream()], facts);
    if (probe.FirstAudioStream() >= 0)
        facts.AudioCodecId = context->streams[probe.FirstAudioStream()]->codecpar->codec_id;
    return facts;
}

}  // namespace kv::workflow
