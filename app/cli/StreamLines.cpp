#include "app/cli/StreamLines.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"


namespace kv::cli {

namespace {

std::string Fraction(int num, int den, const char* between)
{
    return std::to_string(num) + between + std::to_string(den);
}

std::string Rate(AVRational rate)
{
    if (rate.num <= 0 || rate.den <= 0) return {};
    const double fps = static_cast<double>(rate.num) / rate.den;
    char text[32];
    std::snprintf(text, sizeof text, fps == std::floor(fps) ? "%.0f fps" : "%.3f fps", fps);
    return text;
}

// Degrees the picture is turned for display (clockwise), from the stream's display
// matrix; 0 without one. The matrix holds 16.16 fixed-point numbers.
int Rotation(const AVStream& stream)
{
    for (int i = 0; i < stream.nb_side_data; ++i) {
        const AVPacketSideData& side = stream.side_data[i];
        if (side.type != AV_PKT_DATA_DISPLAYMATRIX || side.size < 9 * static_cast<int>(sizeof(std::int32_t))) continue;
        const auto* m = reinterpret_cast<const std::int32_t*>(side.data);
        const double a = m[0] / 65536.0, b = m[1] / 65536.0, c = m[3] / 65536.0, d = m[4] / 65536.0;
        const double sx = std::hypot(a, c), sy = std::hypot(b, d);
        if (sx == 0 || sy == 0) return 0;
        int degrees = static_cast<int>(std::lround(-std::atan2(b / sy, a / sx) * 180 / M_PI));
        degrees = ((degrees % 360) + 360) % 360;
        return (360 - degrees) % 360;
    }
    return 0;
}

const char* SpaceName(int space)
{
    switch (space) {
    case AVCOL_SPC_BT709: return "bt709";
    case AVCOL_SPC_BT470BG: return "bt470bg";
    case AVCOL_SPC_SMPTE170M: return "smpte170m";
    case AVCOL_SPC_BT2020_NCL: return "bt2020nc";
    case AVCOL_SPC_BT2020_CL: return "bt2020c";
    case AVCOL_SPC_RGB: return "rgb";
    default: return nullptr;
    }
}

const char* TransferName(int transfer)
{
    switch (transfer) {
    case AVCOL_TRC_BT709: return "bt709";
    case AVCOL_TRC_SMPTE170M: return "smpte170m";
    case AVCOL_TRC_IEC61966_2_1: return "srgb";
    case AVCOL_TRC_SMPTE2084: return "pq";
    case AVCOL_TRC_ARIB_STD_B67: return "hlg";
    default: return nullptr;
    }
}

std::string Colour(const AVCodecParameters& par)
{
    std::string colour;
    const char* format = par.format >= 0 ? av::av_get_pix_fmt_name(static_cast<AVPixelFormat>(par.format)) : nullptr;
    if (format) colour = format;
    if (const char* space = SpaceName(par.color_space)) colour += std::string(colour.empty() ? "" : " ") + space;
    if (const char* transfer = TransferName(par.color_trc)) colour += std::string(" transfer ") + transfer;
    if (par.color_range == AVCOL_RANGE_JPEG) colour += " full range";
    if (par.color_range == AVCOL_RANGE_MPEG) colour += " limited range";
    return colour;
}

std::string Channels(const AVChannelLayout& layout)
{
    if (layout.nb_channels <= 0) return {};
    std::string text = std::to_string(layout.nb_channels) + (layout.nb_channels == 1 ? " channel" : " channels");
    char name[128] = {};
    if (layout.order != AV_CHANNEL_ORDER_UNSPEC && av::av_channel_layout_describe(&layout, name, sizeof name) > 0)
        text += std::string(" (") + name + ")";
    return text;
}

void Add(std::vector<std::string>& parts, const std::string& part)
{
    if (!part.empty()) parts.push_back(part);
}

}  // namespace

std::string StreamLine(AVFormatContext& context, int index)
{
    AVStream& stream = *context.streams[index];
    const AVCodecParameters& par = *stream.codecpar;
    std::vector<std::string> parts;
    const char* kind = av::av_get_media_type_string(par.codec_type);
    Add(parts, kind ? kind : "unknown");
    if (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) parts.back() = "cover art";
    Add(parts, av::avcodec_get_name(par.codec_id));
    if (par.codec_type == AVMEDIA_TYPE_VIDEO) {
        if (par.width > 0 && par.height > 0) {
            Add(parts, Fraction(par.width, par.height, "x"));
            AVRational sar = stream.sample_aspect_ratio.num > 0 ? stream.sample_aspect_ratio : par.sample_aspect_ratio;
            if (sar.num <= 0 || sar.den <= 0) sar = {1, 1};
            int num = 0, den = 0;
            av::av_reduce(&num, &den, static_cast<std::int64_t>(par.width) * sar.num,
                          static_cast<std::int64_t>(par.height) * sar.den, 1 << 20);
            Add(parts, "display " + Fraction(num, den, ":"));
        }
        if (!(stream.disposition & AV_DISPOSITION_ATTACHED_PIC))
            Add(parts, Rate(av::av_guess_frame_rate(&context, &stream, nullptr)));
        if (const int rotation = Rotation(stream)) Add(parts, "rotated " + std::to_string(rotation));
        Add(parts, Colour(par));
    } else if (par.codec_type == AVMEDIA_TYPE_AUDIO) {
        if (par.sample_rate > 0) Add(parts, std::to_string(par.sample_rate) + " Hz");
        Add(parts, Channels(par.ch_layout));
    }
    if (const AVDictionaryEntry* language = av::av_dict_get(stream.metadata, "language", nullptr, 0))
        if (language->value && *language->value && std::string(language->value) != "und")
            Add(parts, std::string("language ") + language->value);
    if (stream.disposition & AV_DISPOSITION_DEFAULT) Add(parts, "default");
    std::string line = "stream " + std::to_string(index) + ":";
    for (std::size_t i = 0; i < parts.size(); ++i) line += (i == 0 ? " " : ", ") + parts[i];
    return line;
}

}  // namespace kv::cli
