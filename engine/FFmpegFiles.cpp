// Opening the inputs and outputs of a task: inputs hand their stream facts back to
// the option state, outputs get their container, streams, encoder parameters and
// metadata. The transcode starts from the files and codec contexts made here.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <span>

#include "engine/FFmpeg.h"
#include "engine/TextFormat.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/PictureOrientation.h"
#include "media/FFUtils.h"
#include "media/FFmpegLoader.h"

namespace kv::engine {

namespace {

// Codec names of older libraries and the names today's libraries carry them under.
// The successor is also taken when the old name only finds an experimental codec.
struct TCodecSuccessor {
    const char* OldName;
    const char* NewName;
};
constexpr TCodecSuccessor EncoderSuccessors[] = {
    {"libfaac", "aac"},          {"mpeg4aac", "aac"},         {"libvo_aacenc", "aac"},
    {"libaacplus", "aac"},       {"vorbis", "libvorbis"},     {"libamr_nb", "libopencore_amrnb"},
    {"libamr_wb", "libvo_amrwbenc"}, {"libxvid", "mpeg4"},    {"mp3", "libmp3lame"},
    {"libschroedinger", "vc2"},  {"libdirac", "vc2"},
};
constexpr TCodecSuccessor DecoderSuccessors[] = {
    {"libfaad", "aac"},          {"mpeg4aac", "aac"},         {"libamr_nb", "amrnb"},
    {"libamr_wb", "amrwb"},      {"liba52", "ac3"},           {"libxvid", "mpeg4"},
    {"libschroedinger", "dirac"}, {"libdirac", "dirac"},
};

const AVCodec* FindCodecByName(const std::string& name, bool encoder)
{
    return encoder ? av::avcodec_find_encoder_by_name(name.c_str()) : av::avcodec_find_decoder_by_name(name.c_str());
}

bool IsExperimental(const AVCodec* codec)
{
    return codec && (codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL);
}

void FreeCodecContexts(std::vector<AVCodecContext*>& contexts)
{
    for (AVCodecContext*& c : contexts)
        if (c) av::avcodec_free_context(&c);
    contexts.clear();
}

void FreeOutputStreams(std::vector<TCustomFFmpeg::TOutputStreamSetup>& streams)
{
    for (auto& s : streams)
        if (s.Codec) av::avcodec_free_context(&s.Codec);
    streams.clear();
}

// The format library reads "name:rest" as protocol "name". A local file whose name
// merely contains a colon there ("clip:1.avi") is named through the file protocol.
std::string LocalFileUrl(const std::string& fileName, bool mustExist)
{
    const std::size_t colon = fileName.find(':');
    if (colon == std::string::npos || fileName.find('/') < colon) return fileName;
    if (mustExist ? !std::filesystem::exists(fileName) : fileName.find("://") != std::string::npos) return fileName;
    return "file:" + fileName;
}

bool SamePath(const std::string& a, std::string b)
{
    if (b.rfind("file:", 0) == 0 && b.find("://") == std::string::npos) b.erase(0, 5);
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::equivalent(a, b, ec) && !ec) return true;   // same file, through links too
    const fs::path pa = fs::weakly_canonical(fs::absolute(a, ec), ec);
    const fs::path pb = fs::weakly_canonical(fs::absolute(b, ec), ec);
    return !pa.empty() && pa == pb;
}

// ",crop,rotate,scale,transpose,": the filters that change the frame size.
bool ChainResizes(const std::string& chain)
{
    std::string lower(chain);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::size_t start = 0;
    while (start <= lower.size()) {
        std::size_t end = lower.find(',', start);
        if (end == std::string::npos) end = lower.size();
        std::string item = lower.substr(start, end - start);
        item = item.substr(0, item.find('='));
        if (std::string(",crop,rotate,scale,transpose,").find("," + item + ",") != std::string::npos) return true;
        start = end + 1;
    }
    return false;
}

// The listed value nearest to `value`, or `value` when nothing is listed.
int NearestSampleRate(const int* list, int value)
{
    if (!list || !list[0]) return value;
    int best = list[0];
    for (const int* r = list; *r; ++r)
        if (std::abs(*r - value) < std::abs(best - value)) best = *r;
    return best;
}

// `format` when listed; else its planar or packed twin when listed; else the first listed.
AVSampleFormat SupportedSampleFormat(const AVSampleFormat* list, int format)
{
    if (!list || *list == AV_SAMPLE_FMT_NONE) return static_cast<AVSampleFormat>(format);
    auto listed = [list](int f) {
        for (const AVSampleFormat* p = list; *p != AV_SAMPLE_FMT_NONE; ++p)
            if (*p == f) return true;
        return false;
    };
    if (format >= 0) {
        if (listed(format)) return static_cast<AVSampleFormat>(format);
        const auto fmt = static_cast<AVSampleFormat>(format);
        const AVSampleFormat twin = av::av_sample_fmt_is_planar(fmt) ? av::av_get_packed_sample_fmt(fmt)
                                                                      : av::av_get_planar_sample_fmt(fmt);
        if (listed(twin)) return twin;
    }
    return list[0];
}

AVPixelFormat SupportedPixelFormat(const AVPixelFormat* list, int format)
{
    if (!list || *list == AV_PIX_FMT_NONE) return static_cast<AVPixelFormat>(format);
    for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == format) return *p;
    return list[0];
}

// Without an explicit "pix_fmt" an encoder gets 8-bit 4:2:0, the format players and
// devices take, whatever the source has: the first listed of yuv420p and its
// full-range twin. An encoder with neither keeps its first listed format, one that
// lists none (it takes any) the source's.
AVPixelFormat EncoderPixelFormat(const AVPixelFormat* list, int format, bool forced)
{
    if (forced || !list || *list == AV_PIX_FMT_NONE) return SupportedPixelFormat(list, format);
    for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == AV_PIX_FMT_YUV420P || *p == AV_PIX_FMT_YUVJ420P) return *p;
    return list[0];
}

const char* PixelFormatName(int format)
{
    const char* name = format >= 0 ? av::av_get_pix_fmt_name(static_cast<AVPixelFormat>(format)) : nullptr;
    return name ? name : "none";
}

const char* SampleFormatName(int format)
{
    const char* name = format >= 0 ? av::av_get_sample_fmt_name(static_cast<AVSampleFormat>(format)) : nullptr;
    return name ? name : "none";
}

// The layout of `channels` channels: `mask` when it has that many, else the default one;
// then, when the encoder lists layouts and this is not one of them, the listed layout
// with the nearest channel count.
void ChooseChannelLayout(AVChannelLayout& layout, const AVChannelLayout* list, int channels,
                         std::uint64_t mask)
{
    av::av_channel_layout_uninit(&layout);
    if (mask && __builtin_popcountll(mask) == channels) av::av_channel_layout_from_mask(&layout, mask);
    else av::av_channel_layout_default(&layout, channels);
    if (!list || !list[0].nb_channels) return;
    const AVChannelLayout* best = nullptr;
    for (const AVChannelLayout* l = list; l->nb_channels; ++l) {
        if (!av::av_channel_layout_compare(l, &layout)) return;
        if (!best || std::abs(l->nb_channels - channels) < std::abs(best->nb_channels - channels)) best = l;
    }
    av::av_channel_layout_uninit(&layout);
    av::av_channel_layout_copy(&layout, best);
}

std::string PastTheEnd(const std::string& input, std::int64_t start, std::int64_t end)
{
    return Format("The start time %.2f s is past the end of %s (%.2f s)", static_cast<double>(start) / AV_TIME_BASE,
                  input.c_str(), static_cast<double>(end) / AV_TIME_BASE);
}

}  // namespace

AVRational StreamFrameRate(const AVStream* st)
{
    return st->r_frame_rate.num && st->r_frame_rate.den ? st->r_frame_rate : st->avg_frame_rate;
}

// ---------------------------------------------------------------------------
// Helpers

std::vector<RcOverride> ParseRcOverride(const std::string& text)
{
    std::vector<RcOverride> entries;
    if (text.empty()) return entries;
    const char* p = text.c_str();
    for (;;) {
        int start = 0, end = 0, q = 0;
        if (std::sscanf(p, "%d,%d,%d", &start, &end, &q) != 3) throw FFmpegException("error parsing rc_override");
        RcOverride entry{};
        entry.start_frame = start;
        entry.end_frame = end;
        if (q > 0) {
            entry.qscale = q;
            entry.quality_factor = 1.0f;
        } else {
            entry.qscale = 0;
            entry.quality_factor = -q / 100.0f;
        }
        entries.push_back(entry);
        p = std::strchr(p, '/');
        if (!p) break;
        ++p;
    }
    return entries;
}

AVRational AspectFraction(double value)
{
    if (!std::isfinite(value)) return AVRational{0, 1};
    return av::av_d2q(value, 255);
}

bool TCustomFFmpeg::FindCodecId(const std::string& name, AVMediaType type, bool encoder, AVCodecID& id,
                                const AVCodec** found)
{
    id = AV_CODEC_ID_NONE;
    if (found) *found = nullptr;
    if (name.empty()) return true;
    const AVCodec* codec = FindCodecByName(name, encoder);
    if (!codec || IsExperimental(codec)) {
        for (const TCodecSuccessor& s : encoder ? std::span<const TCodecSuccessor>(EncoderSuccessors)
                                                        : std::span<const TCodecSuccessor>(DecoderSuccessors)) {
            if (name != s.OldName) continue;
            const AVCodec* successor = FindCodecByName(s.NewName, encoder);
            if (successor && (!codec || !IsExperimental(successor))) codec = successor;
            break;
        }
    }
    const char* kind = encoder ? "encoder" : "decoder";
    if (!codec) {
        LastErrorMessage = Format("Unknown %s '%s'", kind, name.c_str());
        return false;
    }
    if (codec->type != type) {
        LastErrorMessage = Format("Invalid %s type '%s'", kind, name.c_str());
        return false;
    }
    id = codec->id;
    if (found) *found = codec;
    return true;
}

TCustomFFmpeg::TInputKinds TCustomFFmpeg::CheckInputs()
{
    TInputKinds kinds;
    for (int i = 0; i < InputFileCount; ++i) {
        const AVFormatContext* ic = InputFiles[i];
        for (unsigned j = 0; ic && j < ic->nb_streams; ++j) {
            const int type = ic->streams[j]->codecpar->codec_type;
            if (type < -1 || type > 4) throw FFmpegException("invalid codec_type of input file");
            kinds.Video |= type == AVMEDIA_TYPE_VIDEO;
            kinds.Audio |= type == AVMEDIA_TYPE_AUDIO;
            kinds.Subtitle |= type == AVMEDIA_TYPE_SUBTITLE;
        }
    }
    return kinds;
}

void TCustomFFmpeg::ReleaseFiles()
{
    for (int i = 0; i < MaxFiles; ++i) {
        FreeCodecContexts(InputCodecs[i]);
        if (InputFiles[i]) av::avformat_close_input(&InputFiles[i]);
        FreeOutputStreams(OutputStreams[i]);
        if (AVFormatContext* oc = OutputFiles[i]) {
            if (oc->oformat && !(oc->oformat->flags & AVFMT_NOFILE)) av::avio_closep(&oc->pb);
            av::avformat_free_context(oc);
            OutputFiles[i] = nullptr;
        }
    }
    InputFileCount = 0;
    OutputFileCount = 0;
}

// ---------------------------------------------------------------------------
// Inputs

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName)
{
    AVFormatContext* ic = nullptr;
    bool opened = false;
    AVDictionary* openOptions = nullptr;
    std::vector<AVCodecContext*> codecs;
    const std::size_t decoderCount = ForcedDecoders.size();
    const int decoderCounter = ForcedDecoderCount;
    auto consume = [this] {
        VideoCodecName.clear();
        AudioCodecName.clear();
        SubtitleCodecName.clear();
        InputFormat = nullptr;
        OutputFormat = nullptr;
        VideoChannel = 0;
    };
    try {
        if (InputFileCount >= MaxFiles) throw FFmpegException("Too many input files");
        ic = av::avformat_alloc_context();
        if (!ic) throw FFmpegException(media::OpenErrorText(fileName, AVERROR(ENOMEM)));

        const AVCodec* decoders[3] = {};   // video, audio, subtitle
        AVCodecID ids[3] = {};
        const std::string* names[3] = {&VideoCodecName, &AudioCodecName, &SubtitleCodecName};
        constexpr AVMediaType types[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
        for (int k = 0; k < 3; ++k)
            if (!FindCodecId(*names[k], types[k], false, ids[k], &decoders[k])) throw FFmpegException(LastErrorMessage);
        if (!ids[0] && PgmyuvCompatibilityHack) ids[0] = AV_CODEC_ID_PGMYUV;

        if (OptionContext) ApplyContextOptions(ic, OptionContext->FormatSet, OptFlagDecoding);
        ic->video_codec_id = ids[0];
        ic->audio_codec_id = ids[1];
        ic->subtitle_codec_id = ids[2];
        ic->video_codec = decoders[0];
        ic->audio_codec = decoders[1];
        ic->subtitle_codec = decoders[2];

        // What the 2009 parameters record told raw and capture demuxers, as their options.
        const int width = FrameWidth + PadLeft + PadRight, height = FrameHeight + PadTop + PadBottom;
        if (width > 0 && height > 0) av::av_dict_set(&openOptions, "video_size", Format("%dx%d", width, height).c_str(), 0);
        if (FramePixFmt >= 0)
            if (const char* pixName = av::av_get_pix_fmt_name(static_cast<AVPixelFormat>(FramePixFmt)))
                av::av_dict_set(&openOptions, "pixel_format", pixName, 0);
        if (FrameRate.num > 0 && FrameRate.den > 0)
            av::av_dict_set(&openOptions, "framerate", Format("%d/%d", FrameRate.num, FrameRate.den).c_str(), 0);
        if (AudioSampleRate > 0) av::av_dict_set(&openOptions, "sample_rate", std::to_string(AudioSampleRate).c_str(), 0);
        if (AudioChannels > 0) av::av_dict_set(&openOptions, "channels", std::to_string(AudioChannels).c_str(), 0);
        if (!VideoStandard.empty()) av::av_dict_set(&openOptions, "standard", VideoStandard.c_str(), 0);
        if (VideoChannel) av::av_dict_set(&openOptions, "channel", std::to_string(VideoChannel).c_str(), 0);
        if (LoopInput) av::av_dict_set(&openOptions, "loop", "1", 0);
        if (AVDictionary* own = PrivateOptionsForOpen()) {
            av::av_dict_copy(&openOptions, own, AV_DICT_DONT_OVERWRITE);
            av::av_dict_free(&own);
        }

        int ret = av::avformat_open_input(&ic, LocalFileUrl(fileName, true).c_str(), InputFormat, &openOptions);
        NotePrivateOptionsTaken(openOptions);
        if (ret < 0) throw FFmpegException(media::OpenErrorText(fileName, ret));   // ic freed already
        opened = true;

        if (ProgramID)
            for (unsigned i = 0; i < ic->nb_programs; ++i)
                if (ic->programs[i]->id != ProgramID) ic->programs[i]->discard = AVDISCARD_ALL;

        {
            std::lock_guard lock(media::CodecLock());
            ret = av::avformat_find_stream_info(ic, nullptr);
        }
        if (ret < 0 && Verbose >= 0) throw FFmpegException(Format("%s: could not find codec parameters", fileName.c_str()));

        // A start at or past the end would give an output without anything in it.
        if (StartTime > 0 && ic->duration != AV_NOPTS_VALUE && StartTime >= ic->duration)
            throw FFmpegException(PastTheEnd(fileName, StartTime, ic->duration));
        std::int64_t timestamp = StartTime;
        if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
        if (StartTime != 0) av::av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);   // a failed seek is ignored

        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            AVStream* st = ic->streams[i];
            const AVCodecParameters* par = st->codecpar;
            if (par->codec_type < -1 || par->codec_type > 4) throw FFmpegException("invalid codec_type");
            const int kind = par->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : par->codec_type == AVMEDIA_TYPE_AUDIO ? 1
                           : par->codec_type == AVMEDIA_TYPE_SUBTITLE ? 2 : -1;
            const AVCodec* decoder = kind >= 0 && decoders[kind] ? decoders[kind] : av::avcodec_find_decoder(par->codec_id);
            if (decoder && decoder->type != par->codec_type) decoder = nullptr;
            AVCodecContext* dec = av::avcodec_alloc_context3(decoder);
            if (!dec) throw FFmpegException(media::OpenErrorText(fileName, AVERROR(ENOMEM)));
            codecs.push_back(dec);
            if (av::avcodec_parameters_to_context(dec, par) < 0)
                throw FFmpegException(media::OpenErrorText(fileName, AVERROR(ENOMEM)));
            dec->pkt_timebase = st->time_base;
            dec->thread_count = CodecThreadCount;

            switch (par->codec_type) {
            case AVMEDIA_TYPE_VIDEO: {
                if (OptionContext) ApplyContextOptions(dec, OptionContext->CodecSets[0], OptFlagVideo | OptFlagDecoding);
                // The picture as it is shown: a turned one has its sides and pixel shape swapped.
                const media::TOrientation turn = media::StreamOrientation(st);
                int width = par->width, height = par->height;
                media::UprightSize(turn, width, height);
                FrameWidth = SourceWidth = width;
                FrameHeight = SourceHeight = height;
                FramePixFmtForced = FrameAspectForced = false;
                AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
                if (turn.SwapsSides()) sar = {sar.den, sar.num};
                const double ratio = sar.num && sar.den ? av_q2d(sar) : 0.0;
                if (width != 0 && height != 0)
                    FrameAspectRatio = static_cast<float>(ratio ? ratio * width / height : double(width) / height);
                else if (FrameAspectRatio == 0)
                    FrameAspectRatio = 4.0f / 3.0f;
                if (dec->pix_fmt == AV_PIX_FMT_NONE) dec->pix_fmt = static_cast<AVPixelFormat>(0);
                FramePixFmt = dec->pix_fmt;
                const AVRational r = StreamFrameRate(st);
                const AVRational c = st->avg_frame_rate;   // what the codec's own rate says today
                if (c.num && c.den && r.num && r.den && av_cmp_q(c, r) != 0 && Verbose > 0)
                    Log(1, Format("Seems stream %d codec frame rate differs from container frame rate: "
                               "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                               static_cast<int>(i), double(c.num) / c.den, c.num, c.den, double(r.num) / r.den,
                               r.num, r.den));
                FrameRate = r;
                ForcedDecoders.push_back(decoders[0]);
                ++ForcedDecoderCount;
                if (VideoDisable) st->discard = AVDISCARD_ALL;
                else if (VideoDiscard) st->discard = static_cast<AVDiscard>(VideoDiscard);
                break;
            }
            case AVMEDIA_TYPE_AUDIO:
                if (OptionContext) ApplyContextOptions(dec, OptionContext->CodecSets[1], OptFlagAudio | OptFlagDecoding);
                AudioChannelLayout = par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? par->ch_layout.u.mask : 0;
                // An unknown rate or channel count keeps the current value (never a zero time base).
                if (par->ch_layout.nb_channels > 0) AudioChannels = par->ch_layout.nb_channels;
                if (par->sample_rate > 0) AudioSampleRate = par->sample_rate;
                AudioSampleFmt = par->format;
                AudioSampleFmtForced = false;
                ForcedDecoders.push_back(decoders[1]);
                ++ForcedDecoderCount;
                if (AudioDisable) st->discard = AVDISCARD_ALL;
                break;
            case AVMEDIA_TYPE_DATA:
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                ForcedDecoders.push_back(decoders[2]);
                ++ForcedDecoderCount;
                if (SubtitleDisable) st->discard = AVDISCARD_ALL;
                break;
            default:   // attachment or unknown: counted, no decoder
                ForcedDecoders.push_back(nullptr);
                ++ForcedDecoderCount;
                break;
            }
        }
        StartTime = 0;

        if (ic->duration != AV_NOPTS_VALUE && ic->duration / 1000 > TotalOutputDuration)
            TotalOutputDuration = static_cast<int>(ic->duration / 1000);
        const int index = InputFileCount;
        InputFiles[index] = ic;
        InputCodecs[index] = std::move(codecs);
        InputTimeOffsets[index] = CopyTs ? InputTsOffset : InputTsOffset - timestamp;
        if (Verbose >= 0) av::av_dump_format(ic, index, fileName.c_str(), 0);
        ++InputFileCount;
        consume();
        return true;
    } catch (const std::exception& e) {
        LastErrorMessage = e.what();
    }
    av::av_dict_free(&openOptions);
    FreeCodecContexts(codecs);
    ForcedDecoders.resize(decoderCount);
    ForcedDecoderCount = decoderCounter;
    if (opened) av::avformat_close_input(&ic);
    else if (ic) av::avformat_free_context(ic);
    consume();
    return false;
}

// ---------------------------------------------------------------------------
// Outputs

int TCustomFFmpeg::OpenOutputFile(const std::string& fileName)
{
    AVFormatContext* oc = nullptr;
    bool stored = false;
    const int index = OutputFileCount;
    const std::size_t encoderCount = ForcedEncoders.size();
    const int encoderCounter = ForcedEncoderCount;
    try {
        if (OutputFileCount >= MaxFiles) throw FFmpegException("Too many output files");
        if (!VideoFilters.empty() && (CropTop || CropBottom || CropLeft || CropRight))
            throw FFmpegException("Cannot enable crop options and filters at the same time.");
        if ((PadTop || PadBottom || PadLeft || PadRight) && ChainResizes(VideoFilters))
            throw FFmpegException("Cannot enable pad options and the filters which resize frame at the same time. "
                                  "(crop, rotate, scale, transpose, etc.)");
        // Never write over a source: checked before anything is created.
        for (int i = 0; i < InputFileCount; ++i)
            if (InputFiles[i] && InputFiles[i]->url && SamePath(fileName, InputFiles[i]->url))
                throw FFmpegException(Format("Output file '%s' is the same as input file", fileName.c_str()));
        // An output start at or past the end of every input would give an output without
        // anything in it; checked before anything is created.
        if (StartTime > 0) {
            std::int64_t end = AV_NOPTS_VALUE;
            for (int i = 0; i < InputFileCount && InputFiles[i]; ++i) {
                const AVFormatContext* ic = InputFiles[i];
                if (ic->duration == AV_NOPTS_VALUE) {
                    end = AV_NOPTS_VALUE;
                    break;
                }
                const std::int64_t first = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
                end = std::max(end, first + ic->duration + InputTimeOffsets[i]);
            }
            const char* input = InputFileCount == 1 && InputFiles[0]->url ? InputFiles[0]->url : "the input";
            if (end != AV_NOPTS_VALUE && StartTime >= end) throw FFmpegException(PastTheEnd(input, StartTime, end));
        }
        UseVideoFilters = !VideoFilters.empty();

        const AVOutputFormat* fmt = OutputFormat ? OutputFormat : av::av_guess_format(nullptr, fileName.c_str(), nullptr);
        if (!fmt) throw FFmpegException(Format("Unable to find a suitable output format for '%s'", fileName.c_str()));
        int ret = av::avformat_alloc_output_context2(&oc, fmt, nullptr, fileName.c_str());
        if (ret < 0 || !oc) throw FFmpegException(media::OpenErrorText(fileName, ret < 0 ? ret : AVERROR(ENOMEM)));

        // The 2009 live feed ("ffm" to an http address) has no counterpart: it is an ordinary output.
        // Today's audio containers (mp3, flac) name a picture codec for their cover art;
        // that picture is no video stream of the conversion.
        const bool coverArtOnly = fmt->audio_codec != AV_CODEC_ID_NONE &&
                                  (fmt->video_codec == AV_CODEC_ID_PNG || fmt->video_codec == AV_CODEC_ID_MJPEG);
        bool useVideo = VideoStreamCopy || (fmt->video_codec != AV_CODEC_ID_NONE && !coverArtOnly) ||
                        !VideoCodecName.empty();
        bool useAudio = AudioStreamCopy || fmt->audio_codec != AV_CODEC_ID_NONE || !AudioCodecName.empty();
        bool useSubtitle = SubtitleStreamCopy || fmt->subtitle_codec != AV_CODEC_ID_NONE || !SubtitleCodecName.empty();
        if (InputFileCount > 0) {
            TInputKinds kinds;
            try {
                kinds = CheckInputs();
            } catch (const FFmpegException& e) {
                throw FFmpegException(Format("check_audio_video_sub_inputs fail: %s", e.what()));
            }
            useVideo &= kinds.Video;
            useAudio &= kinds.Audio;
            useSubtitle &= kinds.Subtitle;
        }
        useVideo &= !VideoDisable;
        useAudio &= !AudioDisable;
        useSubtitle &= !SubtitleDisable;

        auto create = [&](bool wanted, void (TCustomFFmpeg::*make)(AVFormatContext*), const char* failText) {
            if (!wanted) return;
            try {
                (this->*make)(oc);
            } catch (const FFmpegException& e) {
                throw FFmpegException(Format(failText, e.what()));
            }
        };
        create(useVideo, &TCustomFFmpeg::NewVideoStream, "new_video_stream fail: %s");
        create(useAudio, &TCustomFFmpeg::NewAudioStream, "new_audio_stream fail: %s");
        create(useSubtitle, &TCustomFFmpeg::NewSubtitleStream, "new_subtitle_stream fail: %s");

        // The container's timestamp is its creation time today.
        if (RecTimestamp) {
            const std::time_t t = static_cast<std::time_t>(RecTimestamp);
            std::tm utc{};
            gmtime_r(&t, &utc);
            char text[32];
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
            av::av_dict_set(&oc->metadata, "creation_time", text, 0);
        }
        for (auto it = Metadata.rbegin(); it != Metadata.rend(); ++it)
            av::av_dict_set(&oc->metadata, it->first.c_str(), it->second.c_str(), 0);
        Metadata.clear();
        MetadataCount = 0;
        // Muxers convert metadata keys themselves today (no av_metadata_conv step).

        OutputFiles[index] = oc;
        ++OutputFileCount;
        stored = true;

        if ((fmt->flags & AVFMT_NEEDNUMBER) && !av::av_filename_number_test(oc->url))
            throw FFmpegException(media::OpenErrorText(oc->url, AVERROR(EDOM)));
        if (!(fmt->flags & AVFMT_NOFILE) && CreateOutputFiles) {
            const int opened = av::avio_open(&oc->pb, LocalFileUrl(fileName, false).c_str(), AVIO_FLAG_WRITE);
            if (opened < 0)
                throw FFmpegException(Format("Could not open '%s': %s", fileName.c_str(), media::ErrorReason(opened).c_str()));
            TCreatedFile created{fileName};
            struct stat st{};
            if (::stat(fileName.c_str(), &st) == 0) {
                created.Device = st.st_dev;
                created.Inode = st.st_ino;
            }
            CreatedOutputs.push_back(std::move(created));
        }
        // av_set_parameters is gone: the muxer takes its parameters from the streams at header time.

        oc->max_delay = static_cast<int>(MuxMaxDelay * 1000000);
        // Preload and loop count are muxer options today (mpeg "preload", gif "loop").
        av::av_opt_set_int(oc, "preload", static_cast<std::int64_t>(MuxPreload * 1000000), AV_OPT_SEARCH_CHILDREN);
        if (LoopOutput >= 0) av::av_opt_set_int(oc, "loop", LoopOutput, AV_OPT_SEARCH_CHILDREN);
        if (OptionContext) ApplyContextOptions(oc, OptionContext->FormatSet, OptFlagEncoding);

        OutputFormat = nullptr;
        InputFormat = nullptr;
        return OutputFileCount;
    } catch (const std::exception& e) {
        LastErrorMessage = e.what();
    }
    if (stored) {
        OutputFiles[index] = nullptr;
        --OutputFileCount;
    }
    FreeOutputStreams(OutputStreams[index]);
    for (auto& chain : BitstreamFilterTable[index]) chain.clear();
    ForcedEncoders.resize(encoderCount);
    ForcedEncoderCount = encoderCounter;
    if (oc) {
        if (!(oc->oformat->flags & AVFMT_NOFILE)) av::avio_closep(&oc->pb);
        av::avformat_free_context(oc);
    }
    OutputFormat = nullptr;
    InputFormat = nullptr;
    return -1;
}

namespace {

// True when `name` still names the file `created` describes; false with errno set when not.
bool StillInPlace(const TCustomFFmpeg::TCreatedFile& created)
{
    struct stat st{};
    if (::stat(created.Name.c_str(), &st) != 0) return false;
    if (st.st_dev == created.Device && st.st_ino == created.Inode) return true;
    errno = ENOENT;
    return false;
}

}  // namespace

void TCustomFFmpeg::RemoveCreatedOutputs()
{
    for (const TCreatedFile& created : CreatedOutputs)
        if (created.Inode && StillInPlace(created)) std::remove(created.Name.c_str());
    CreatedOutputs.clear();
}

void TCustomFFmpeg::CheckOutputsInPlace()
{
    for (const TCreatedFile& created : CreatedOutputs)
        if (created.Inode && !StillInPlace(created))
            throw FFmpegException(Format("Could not write '%s': %s", created.Name.c_str(), std::strerror(errno)));
}

// ---------------------------------------------------------------------------
// Output streams. Everything that can be refused (codec names, the override text) is
// checked before the stream is added, so a refused stream leaves the output unchanged.

namespace {

// Index of `oc` among the stored outputs; an output being opened is the next one.
int OutputIndex(const TCustomFFmpeg& task, const AVFormatContext* oc)
{
    for (int i = 0; i < task.OutputFileCount; ++i)
        if (task.OutputFiles[i] == oc) return i;
    return task.OutputFileCount;
}

// A new stream of `oc` with its setup record and a codec context for `codec`; the
// pending bit-stream filter chain moves to the stream. When no stream can be made,
// the pending codec name and language are released before the error is raised.
struct TNewOutputStream {
    AVStream* Stream;
    TCustomFFmpeg::TOutputStreamSetup* Setup;
    AVCodecContext* Codec;
};

TNewOutputStream AddOutputStream(TCustomFFmpeg& task, AVFormatContext* oc, const AVCodec* codec,
                                 TBitstreamFilterChain& filters, std::string& codecName, std::string* language)
{
    const int file = OutputIndex(task, oc);
    AVStream* st = oc->nb_streams < unsigned(MaxStreams) && file < MaxFiles ? av::avformat_new_stream(oc, nullptr) : nullptr;
    if (!st) {
        codecName.clear();
        if (language) language->clear();
        throw FFmpegException("Could not alloc stream");
    }
    auto& setups = task.OutputStreams[file];
    setups.resize(st->index + 1);
    TCustomFFmpeg::TOutputStreamSetup& setup = setups[st->index];
    AVCodecContext* ctx = setup.Codec = av::avcodec_alloc_context3(codec);
    if (!ctx) throw FFmpegException("Could not alloc stream");
    task.BitstreamFilterTable[file][st->index] = std::move(filters);
    filters.clear();
    return {st, &setup, ctx};
}

}  // namespace

void TCustomFFmpeg::NewVideoStream(AVFormatContext* oc)
{
    const AVCodec* codec = nullptr;
    AVCodecID id = AV_CODEC_ID_NONE;
    std::vector<RcOverride> overrides;
    if (!VideoStreamCopy) {
        if (!VideoCodecName.empty()) {
            if (!FindCodecId(VideoCodecName, AVMEDIA_TYPE_VIDEO, true, id, &codec)) throw FFmpegException(LastErrorMessage);
        } else {
            id = av::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_VIDEO);
            codec = av::avcodec_find_encoder(id);
        }
        try {
            overrides = ParseRcOverride(VideoRcOverride);
        } catch (const FFmpegException&) {
            VideoCodecName.clear();
            throw;
        }
    }
    const TNewOutputStream added = AddOutputStream(*this, oc, codec, VideoBitstreamFilters, VideoCodecName, nullptr);
    AVStream* st = added.Stream;
    TOutputStreamSetup& setup = *added.Setup;
    AVCodecContext* ctx = added.Codec;
    ctx->thread_count = CodecThreadCount;
    ctx->codec_type = AVMEDIA_TYPE_VIDEO;
    if (VideoCodecTag) ctx->codec_tag = VideoCodecTag;
    AVCodecContext* videoSet = OptionContext ? OptionContext->CodecSets[0] : nullptr;
    if ((VideoGlobalHeader & 1) || (VideoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER))) {
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (videoSet) videoSet->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (VideoGlobalHeader & 2) {
        ctx->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
        if (videoSet) videoSet->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    }
    auto aspect = [this](int width, int height) {
        return AspectFraction(width && height ? double(FrameAspectRatio) * height / width : FrameAspectRatio * 3.0 / 4.0);
    };
    // The source's pixels in the output's content size: the display aspect of the part
    // of the source that the crops leave, spread over FrameWidth x FrameHeight.
    auto sourcePixelShape = [&] {
        const int keptWidth = SourceWidth - CropLeft - CropRight, keptHeight = SourceHeight - CropTop - CropBottom;
        if (keptWidth <= 0 || keptHeight <= 0) return aspect(FrameWidth, FrameHeight);
        const double shown = double(FrameAspectRatio) * keptWidth / SourceWidth * SourceHeight / keptHeight;
        return AspectFraction(FrameWidth && FrameHeight ? shown * FrameHeight / FrameWidth : shown * 3.0 / 4.0);
    };

    if (VideoStreamCopy) {
        setup.StreamCopy = true;
        st->sample_aspect_ratio = ctx->sample_aspect_ratio = aspect(FrameWidth, FrameHeight);
        ForcedEncoders.push_back(nullptr);
    } else {
        AVRational rate = FrameRate.num && FrameRate.den ? FrameRate : AVRational{25, 1};
        ctx->codec_id = id;
        setup.Encoder = codec;
        if (videoSet) ApplyContextOptions(ctx, videoSet, OptFlagVideo | OptFlagEncoding);
        if (codec && codec->supported_framerates && !ForceFps) {
            const AVRational listed = codec->supported_framerates[av::av_find_nearest_q_idx(rate, codec->supported_framerates)];
            if (av_cmp_q(listed, rate) != 0)
                Log(1, Format("WARNING: %s does not take the frame rate %d/%d; %d/%d is used instead", codec->name,
                              rate.num, rate.den, listed.num, listed.den));
            rate = listed;
        }
        // Today's encoders refuse time base denominators above 16 bits (MPEG-4 and relatives).
        AVRational timeBase{rate.den, rate.num};
        if (timeBase.den > 65535) av::av_reduce(&timeBase.num, &timeBase.den, timeBase.num, timeBase.den, 65535);
        ctx->time_base = timeBase;
        ctx->framerate = rate;
        ctx->width = FrameWidth + PadLeft + PadRight;
        ctx->height = FrameHeight + PadTop + PadBottom;
        // An aspect the user gives is the whole picture's; otherwise crop and pad keep
        // the source's pixel shape (the bands are added, the picture is not stretched).
        st->sample_aspect_ratio = ctx->sample_aspect_ratio =
            FrameAspectForced ? aspect(ctx->width, ctx->height) : sourcePixelShape();
        ctx->pix_fmt = EncoderPixelFormat(codec ? codec->pix_fmts : nullptr, FramePixFmt, FramePixFmtForced);
        if (codec && FramePixFmtForced && ctx->pix_fmt != FramePixFmt)
            Log(1, Format("WARNING: %s does not take the pixel format %s; %s is used instead", codec->name,
                          PixelFormatName(FramePixFmt), PixelFormatName(ctx->pix_fmt)));
        if (IntraOnly) ctx->gop_size = 0;
        if (VideoQScale != 0 || SameQuality) {
            ctx->flags |= AV_CODEC_FLAG_QSCALE;
            ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * VideoQScale);
        }
        auto matrix = [](const std::vector<std::uint16_t>& m) -> std::uint16_t* {
            if (m.empty()) return nullptr;
            auto* copy = static_cast<std::uint16_t*>(av::av_malloc(64 * sizeof(std::uint16_t)));
            if (copy) std::memcpy(copy, m.data(), std::min<std::size_t>(m.size(), 64) * sizeof(std::uint16_t));
            return copy;
        };
        ctx->intra_matrix = matrix(IntraMatrix);
        ctx->inter_matrix = matrix(InterMatrix);
        if (!overrides.empty()) {
            ctx->rc_override = static_cast<RcOverride*>(av::av_malloc(overrides.size() * sizeof(RcOverride)));
            if (ctx->rc_override) {
                std::memcpy(ctx->rc_override, overrides.data(), overrides.size() * sizeof(RcOverride));
                ctx->rc_override_count = static_cast<int>(overrides.size());
            }
        }
        if (ctx->rc_initial_buffer_occupancy == 0) ctx->rc_initial_buffer_occupancy = ctx->rc_buffer_size * 3 / 4;
        // The motion-estimation threshold has no counterpart in today's encoders.
        ctx->intra_dc_precision = IntraDCPrecision - 8;
        if (DoPSNR) ctx->flags |= AV_CODEC_FLAG_PSNR;
        if (DoPass == 1) ctx->flags |= AV_CODEC_FLAG_PASS1;
        else if (DoPass == 2) ctx->flags |= AV_CODEC_FLAG_PASS2;
        ForcedEncoders.push_back(VideoCodecName.empty() ? nullptr : codec);
    }
    ++ForcedEncoderCount;
    st->time_base = ctx->time_base;
    av::avcodec_parameters_from_context(st->codecpar, ctx);
    VideoDisable = false;
    VideoCodecName.clear();
    VideoStreamCopy = false;
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext* oc)
{
    const AVCodec* codec = nullptr;
    AVCodecID id = AV_CODEC_ID_NONE;
    if (!AudioStreamCopy) {
        if (!AudioCodecName.empty()) {
            if (!FindCodecId(AudioCodecName, AVMEDIA_TYPE_AUDIO, true, id, &codec)) throw FFmpegException(LastErrorMessage);
        } else {
            id = av::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_AUDIO);
            codec = av::avcodec_find_encoder(id);
        }
    }
    const TNewOutputStream added = AddOutputStream(*this, oc, codec, AudioBitstreamFilters, AudioCodecName, &AudioLanguage);
    AVStream* st = added.Stream;
    TOutputStreamSetup& setup = *added.Setup;
    AVCodecContext* ctx = added.Codec;
    ctx->thread_count = CodecThreadCount;
    ctx->codec_type = AVMEDIA_TYPE_AUDIO;
    if (AudioCodecTag) ctx->codec_tag = AudioCodecTag;
    AVCodecContext* audioSet = OptionContext ? OptionContext->CodecSets[1] : nullptr;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (audioSet) audioSet->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    int sampleRate = AudioSampleRate;
    if (AudioStreamCopy) {
        setup.StreamCopy = true;
        ChooseChannelLayout(ctx->ch_layout, nullptr, AudioChannels, AudioChannelLayout);
        ForcedEncoders.push_back(nullptr);
    } else {
        ctx->codec_id = id;
        setup.Encoder = codec;
        if (audioSet) ApplyContextOptions(ctx, audioSet, OptFlagAudio | OptFlagEncoding);
        if (AudioQScale > -99999) {
            ctx->flags |= AV_CODEC_FLAG_QSCALE;
            ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * AudioQScale);
        }
        ChooseChannelLayout(ctx->ch_layout, codec ? codec->ch_layouts : nullptr, AudioChannels, AudioChannelLayout);
        ctx->sample_fmt = SupportedSampleFormat(codec ? codec->sample_fmts : nullptr, AudioSampleFmt);
        sampleRate = NearestSampleRate(codec ? codec->supported_samplerates : nullptr, AudioSampleRate);
        if (codec && ctx->ch_layout.nb_channels != AudioChannels)
            Log(1, Format("WARNING: %s does not take %d channels; %d are used instead", codec->name, AudioChannels,
                          ctx->ch_layout.nb_channels));
        if (codec && sampleRate != AudioSampleRate)
            Log(1, Format("WARNING: %s does not take the sample rate %d Hz; %d Hz is used instead", codec->name,
                          AudioSampleRate, sampleRate));
        if (codec && AudioSampleFmtForced && ctx->sample_fmt != AudioSampleFmt)
            Log(1, Format("WARNING: %s does not take the sample format %s; %s is used instead", codec->name,
                          SampleFormatName(AudioSampleFmt), SampleFormatName(ctx->sample_fmt)));
        ForcedEncoders.push_back(AudioCodecName.empty() ? nullptr : codec);
    }
    ++ForcedEncoderCount;
    ctx->sample_rate = sampleRate;
    ctx->time_base = AVRational{1, sampleRate > 0 ? sampleRate : 1};
    st->time_base = ctx->time_base;
    if (!AudioLanguage.empty()) av::av_dict_set(&st->metadata, "language", AudioLanguage.c_str(), 0);
    AudioLanguage.clear();
    av::avcodec_parameters_from_context(st->codecpar, ctx);
    AudioDisable = false;
    AudioCodecName.clear();
    AudioStreamCopy = false;
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* oc)
{
    const AVCodec* codec = nullptr;
    AVCodecID id = AV_CODEC_ID_NONE;
    if (!SubtitleStreamCopy) {
        if (!SubtitleCodecName.empty()) {
            if (!FindCodecId(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, true, id, &codec))
                throw FFmpegException(LastErrorMessage);
        } else {
            // Without a name the container's own subtitle codec (none would leave the stream unencodable).
            id = av::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_SUBTITLE);
        }
    }
    const TNewOutputStream added = AddOutputStream(*this, oc, codec, SubtitleBitstreamFilters, SubtitleCodecName, &SubtitleLanguage);
    AVStream* st = added.Stream;
    TOutputStreamSetup& setup = *added.Setup;
    AVCodecContext* ctx = added.Codec;
    ctx->codec_type = AVMEDIA_TYPE_SUBTITLE;
    if (SubtitleStreamCopy) {
        setup.StreamCopy = true;
    } else {
        if (OptionContext) ApplyContextOptions(ctx, OptionContext->CodecSets[3], OptFlagSubtitle | OptFlagEncoding);
        ctx->codec_id = id;
        setup.Encoder = codec ? codec : av::avcodec_find_encoder(id);
    }
    ForcedEncoders.push_back(codec);
    ++ForcedEncoderCount;
    if (!SubtitleLanguage.empty()) av::av_dict_set(&st->metadata, "language", SubtitleLanguage.c_str(), 0);
    SubtitleLanguage.clear();
    av::avcodec_parameters_from_context(st->codecpar, ctx);
    SubtitleDisable = false;
    SubtitleCodecName.clear();
    SubtitleStreamCopy = false;
}

}  // namespace kv::engine
