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
#include <mutex>
#include <span>

#include "engine/FFmpeg.h"
#include "engine/StreamChoice.h"
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

const AVCodec* TCustomFFmpeg::FindCodec(const std::string& name, AVMediaType type, bool encoder)
{
    if (name.empty()) return nullptr;
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
    if (!codec) throw FFmpegException(Format("Unknown %s '%s'", kind, name.c_str()));
    if (codec->type != type) throw FFmpegException(Format("Invalid %s type '%s'", kind, name.c_str()));
    return codec;
}

bool TCustomFFmpeg::FindCodecId(const std::string& name, AVMediaType type, bool encoder, AVCodecID& id,
                                const AVCodec** found)
{
    id = AV_CODEC_ID_NONE;
    if (found) *found = nullptr;
    const AVCodec* codec = nullptr;
    if (!CatchIntoLastError([&] { codec = FindCodec(name, type, encoder); })) return false;
    if (codec) id = codec->id;
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
            kinds.Video |= type == AVMEDIA_TYPE_VIDEO && !IsCoverArt(ic->streams[j]);
            kinds.Audio |= type == AVMEDIA_TYPE_AUDIO;
            kinds.Subtitle |= type == AVMEDIA_TYPE_SUBTITLE;
        }
    }
    return kinds;
}

void TCustomFFmpeg::ReleaseFiles()
{
    // The codec contexts go before the files whose streams they describe.
    for (int i = 0; i < MaxFiles; ++i) {
        InputCodecs[i].clear();
        InputFiles[i] = nullptr;
        OutputStreams[i].clear();
        OutputFiles[i] = nullptr;
    }
    InputFileCount = 0;
    OutputFileCount = 0;
}

// ---------------------------------------------------------------------------
// Inputs: the phases of OpenInput. What a phase makes is held by handles until the
// file is stored, so a failure leaves the option state's tables as they were.

namespace {

// The decoders named for the next input: video, audio, subtitle.
struct TForcedDecoders {
    const AVCodec* Codecs[3] = {};
    AVCodecID Ids[3] = {};
};

TForcedDecoders FindForcedDecoders(TCustomFFmpeg& task)
{
    TForcedDecoders forced;
    const std::string* names[3] = {&task.VideoCodecName, &task.AudioCodecName, &task.SubtitleCodecName};
    constexpr AVMediaType types[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
    for (int k = 0; k < 3; ++k) {
        forced.Codecs[k] = task.FindCodec(*names[k], types[k], false);
        forced.Ids[k] = forced.Codecs[k] ? forced.Codecs[k]->id : AV_CODEC_ID_NONE;
    }
    if (!forced.Ids[0] && task.PgmyuvCompatibilityHack) forced.Ids[0] = AV_CODEC_ID_PGMYUV;
    return forced;
}

media::FormatContextHandle NewInputContext(TCustomFFmpeg& task, const std::string& fileName,
                                           const TForcedDecoders& forced)
{
    media::FormatContextHandle ic(av::avformat_alloc_context());
    if (!ic) throw FFmpegException(media::OpenErrorText(fileName, AVERROR(ENOMEM)));
    if (task.OptionContext) task.ApplyContextOptions(ic.get(), task.OptionContext->FormatSet, OptFlagDecoding);
    ic->video_codec_id = forced.Ids[0];
    ic->audio_codec_id = forced.Ids[1];
    ic->subtitle_codec_id = forced.Ids[2];
    ic->video_codec = forced.Codecs[0];
    ic->audio_codec = forced.Codecs[1];
    ic->subtitle_codec = forced.Codecs[2];
    return ic;
}

// What the 2009 parameters record told raw and capture demuxers, as their options.
AVDictionary* DemuxerOptions(TCustomFFmpeg& task)
{
    AVDictionary* options = nullptr;
    const int width = task.FrameWidth + task.PadLeft + task.PadRight;
    const int height = task.FrameHeight + task.PadTop + task.PadBottom;
    if (width > 0 && height > 0) av::av_dict_set(&options, "video_size", Format("%dx%d", width, height).c_str(), 0);
    if (task.FramePixFmt >= 0)
        if (const char* pixName = av::av_get_pix_fmt_name(static_cast<AVPixelFormat>(task.FramePixFmt)))
            av::av_dict_set(&options, "pixel_format", pixName, 0);
    if (task.FrameRate.num > 0 && task.FrameRate.den > 0)
        av::av_dict_set(&options, "framerate", Format("%d/%d", task.FrameRate.num, task.FrameRate.den).c_str(), 0);
    if (task.AudioSampleRate > 0)
        av::av_dict_set(&options, "sample_rate", std::to_string(task.AudioSampleRate).c_str(), 0);
    if (task.AudioChannels > 0) av::av_dict_set(&options, "channels", std::to_string(task.AudioChannels).c_str(), 0);
    if (!task.VideoStandard.empty()) av::av_dict_set(&options, "standard", task.VideoStandard.c_str(), 0);
    if (task.VideoChannel) av::av_dict_set(&options, "channel", std::to_string(task.VideoChannel).c_str(), 0);
    if (task.LoopInput) av::av_dict_set(&options, "loop", "1", 0);
    media::DictionaryHandle own(task.PrivateOptionsForOpen());
    if (own) av::av_dict_copy(&options, own.get(), AV_DICT_DONT_OVERWRITE);
    return options;
}

// Opens and analyses the file; the library frees the prepared context when it fails.
media::InputFormatHandle OpenAndAnalyse(TCustomFFmpeg& task, const std::string& fileName,
                                        media::FormatContextHandle prepared)
{
    AVDictionary* options = DemuxerOptions(task);
    AVFormatContext* raw = prepared.release();
    const int opened = av::avformat_open_input(&raw, LocalFileUrl(fileName, true).c_str(), task.InputFormat, &options);
    task.NotePrivateOptionsTaken(options);
    if (opened < 0) throw FFmpegException(media::OpenErrorText(fileName, opened));
    media::InputFormatHandle ic(raw);
    if (task.ProgramID)
        for (unsigned i = 0; i < ic->nb_programs; ++i)
            if (ic->programs[i]->id != task.ProgramID) ic->programs[i]->discard = AVDISCARD_ALL;
    int analysed;
    {
        std::lock_guard lock(media::CodecLock());
        analysed = av::avformat_find_stream_info(ic.get(), nullptr);
    }
    if (analysed < 0 && task.Verbose > llQuiet)
        throw FFmpegException(Format("%s: could not find codec parameters", fileName.c_str()));
    return ic;
}

// Seeks to the start time; returns the file's time stamp of that point.
std::int64_t SeekToStart(const TCustomFFmpeg& task, AVFormatContext* ic, const std::string& fileName)
{
    // A start at or past the end would give an output without anything in it.
    if (task.StartTime > 0 && ic->duration != AV_NOPTS_VALUE && task.StartTime >= ic->duration)
        throw FFmpegException(PastTheEnd(fileName, task.StartTime, ic->duration));
    std::int64_t timestamp = task.StartTime;
    if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
    if (task.StartTime != 0) av::av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);   // a failed seek is ignored
    return timestamp;
}

// The option state takes the video stream's facts: they are the defaults of the output.
void TakeVideoFacts(TCustomFFmpeg& task, AVStream* st, AVCodecContext* dec, int index)
{
    const AVCodecParameters* par = st->codecpar;
    if (task.OptionContext) task.ApplyContextOptions(dec, task.OptionContext->CodecSets[0], OptFlagVideo | OptFlagDecoding);
    // The picture as it is shown: a turned one has its sides and pixel shape swapped.
    const media::TOrientation turn = media::StreamOrientation(st);
    int width = par->width, height = par->height;
    media::UprightSize(turn, width, height);
    task.FrameWidth = task.SourceWidth = width;
    task.FrameHeight = task.SourceHeight = height;
    task.FramePixFmtForced = task.FrameAspectForced = false;
    AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
    if (turn.SwapsSides()) sar = {sar.den, sar.num};
    const double ratio = sar.num && sar.den ? av_q2d(sar) : 0.0;
    if (width != 0 && height != 0)
        task.FrameAspectRatio = static_cast<float>(ratio ? ratio * width / height : double(width) / height);
    else if (task.FrameAspectRatio == 0)
        task.FrameAspectRatio = 4.0f / 3.0f;
    task.SourceAspectRatio = width != 0 && height != 0 ? task.FrameAspectRatio : 0.0f;
    if (dec->pix_fmt == AV_PIX_FMT_NONE) dec->pix_fmt = static_cast<AVPixelFormat>(0);
    task.FramePixFmt = dec->pix_fmt;
    const AVRational r = StreamFrameRate(st);
    const AVRational c = st->avg_frame_rate;   // what the codec's own rate says today
    if (c.num && c.den && r.num && r.den && av_cmp_q(c, r) != 0 && task.Verbose >= llInfo)
        task.Log(llInfo, Format("Seems stream %d codec frame rate differs from container frame rate: "
                           "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                           index, double(c.num) / c.den, c.num, c.den, double(r.num) / r.den, r.num, r.den));
    task.FrameRate = r;
    if (task.VideoDisable) st->discard = AVDISCARD_ALL;
    else if (task.VideoDiscard) st->discard = static_cast<AVDiscard>(task.VideoDiscard);
}

void TakeAudioFacts(TCustomFFmpeg& task, AVStream* st, AVCodecContext* dec)
{
    const AVCodecParameters* par = st->codecpar;
    if (task.OptionContext) task.ApplyContextOptions(dec, task.OptionContext->CodecSets[1], OptFlagAudio | OptFlagDecoding);
    task.AudioChannelLayout = par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? par->ch_layout.u.mask : 0;
    // An unknown rate or channel count keeps the current value (never a zero time base).
    if (par->ch_layout.nb_channels > 0) task.AudioChannels = par->ch_layout.nb_channels;
    if (par->sample_rate > 0) task.AudioSampleRate = par->sample_rate;
    task.AudioSampleFmt = par->format;
    task.AudioSampleFmtForced = false;
    if (task.AudioDisable) st->discard = AVDISCARD_ALL;
}

// The decoder contexts of one input and the forced decoder of each stream, until stored.
struct TInputDecoders {
    std::vector<media::Viewed<media::CodecContextHandle>> Contexts;
    std::vector<const AVCodec*> Forced;
};

media::CodecContextHandle NewDecoderContext(const TCustomFFmpeg& task, const AVStream* st, const AVCodec* forced,
                                            const std::string& fileName)
{
    const AVCodecParameters* par = st->codecpar;
    const AVCodec* decoder = forced ? forced : av::avcodec_find_decoder(par->codec_id);
    if (decoder && decoder->type != par->codec_type) decoder = nullptr;
    media::CodecContextHandle dec(av::avcodec_alloc_context3(decoder));
    if (!dec || av::avcodec_parameters_to_context(dec.get(), par) < 0)
        throw FFmpegException(media::OpenErrorText(fileName, AVERROR(ENOMEM)));
    dec->pkt_timebase = st->time_base;
    dec->thread_count = task.CodecThreadCount;
    return dec;
}

TInputDecoders ReadStreams(TCustomFFmpeg& task, AVFormatContext* ic, const TForcedDecoders& forced,
                           const std::string& fileName)
{
    TInputDecoders made;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        const AVMediaType type = st->codecpar->codec_type;
        if (type < -1 || type > 4) throw FFmpegException("invalid codec_type");
        const int kind = type == AVMEDIA_TYPE_VIDEO ? 0 : type == AVMEDIA_TYPE_AUDIO ? 1
                       : type == AVMEDIA_TYPE_SUBTITLE ? 2 : -1;
        media::CodecContextHandle dec = NewDecoderContext(task, st, kind >= 0 ? forced.Codecs[kind] : nullptr, fileName);
        if (type == AVMEDIA_TYPE_VIDEO) TakeVideoFacts(task, st, dec.get(), static_cast<int>(i));
        if (type == AVMEDIA_TYPE_AUDIO) TakeAudioFacts(task, st, dec.get());
        if (type == AVMEDIA_TYPE_SUBTITLE && task.SubtitleDisable) st->discard = AVDISCARD_ALL;
        made.Contexts.emplace_back(std::move(dec));
        // Data streams have no forced decoder entry; attachments and unknown kinds one without a decoder.
        if (type != AVMEDIA_TYPE_DATA) made.Forced.push_back(kind >= 0 ? forced.Codecs[kind] : nullptr);
    }
    return made;
}

// The per-file options apply to one input: they are used up whether it opened or not.
void ConsumeInputOptions(TCustomFFmpeg& task)
{
    task.VideoCodecName.clear();
    task.AudioCodecName.clear();
    task.SubtitleCodecName.clear();
    task.InputFormat = nullptr;
    task.OutputFormat = nullptr;
    task.VideoChannel = 0;
}

}  // namespace

void TCustomFFmpeg::OpenInput(const std::string& fileName)
{
    struct TConsume {
        TCustomFFmpeg& Task;
        ~TConsume() { ConsumeInputOptions(Task); }
    } consume{*this};
    if (InputFileCount >= MaxFiles) throw FFmpegException("Too many input files");
    const TForcedDecoders forced = FindForcedDecoders(*this);
    media::InputFormatHandle ic = OpenAndAnalyse(*this, fileName, NewInputContext(*this, fileName, forced));
    const bool sought = StartTime != 0;
    const std::int64_t timestamp = SeekToStart(*this, ic.get(), fileName);
    TInputDecoders decoders = ReadStreams(*this, ic.get(), forced, fileName);
    StartTime = 0;

    if (ic->duration != AV_NOPTS_VALUE && ic->duration / 1000 > TotalOutputDuration)
        TotalOutputDuration = static_cast<int>(ic->duration / 1000);
    const int index = InputFileCount;
    ForcedDecoders.insert(ForcedDecoders.end(), decoders.Forced.begin(), decoders.Forced.end());
    InputCodecs[index] = std::move(decoders.Contexts);
    InputTimeOffsets[index] = CopyTs ? InputTsOffset : InputTsOffset - timestamp;
    InputSeekTimes[index] = sought ? timestamp : 0;
    if (Verbose > llQuiet) av::av_dump_format(ic.get(), index, fileName.c_str(), 0);
    InputFiles[index] = std::move(ic);
    ++InputFileCount;
}

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName)
{
    return CatchIntoLastError([&] { OpenInput(fileName); });
}

// ---------------------------------------------------------------------------
// Outputs: the phases of OpenOutput.

namespace {

// What can be refused before anything is created.
void CheckOutputRequest(const TCustomFFmpeg& task, const std::string& fileName)
{
    if (task.OutputFileCount >= MaxFiles) throw FFmpegException("Too many output files");
    if (!task.VideoFilters.empty() && (task.CropTop || task.CropBottom || task.CropLeft || task.CropRight))
        throw FFmpegException("Cannot enable crop options and filters at the same time.");
    if ((task.PadTop || task.PadBottom || task.PadLeft || task.PadRight) && ChainResizes(task.VideoFilters))
        throw FFmpegException("Cannot enable pad options and the filters which resize frame at the same time. "
                              "(crop, rotate, scale, transpose, etc.)");
    // Never write over a source.
    for (int i = 0; i < task.InputFileCount; ++i)
        if (task.InputFiles[i] && task.InputFiles[i]->url && SamePath(fileName, task.InputFiles[i]->url))
            throw FFmpegException(Format("Output file '%s' is the same as input file", fileName.c_str()));
}

// An output start at or past the end of every input would give an output without
// anything in it.
void CheckStartBeforeEnd(const TCustomFFmpeg& task)
{
    if (task.StartTime <= 0) return;
    std::int64_t end = AV_NOPTS_VALUE;
    for (int i = 0; i < task.InputFileCount && task.InputFiles[i]; ++i) {
        const AVFormatContext* ic = task.InputFiles[i];
        if (ic->duration == AV_NOPTS_VALUE) return;
        const std::int64_t first = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
        end = std::max(end, first + ic->duration + task.InputTimeOffsets[i]);
    }
    const char* input = task.InputFileCount == 1 && task.InputFiles[0]->url ? task.InputFiles[0]->url : "the input";
    if (end != AV_NOPTS_VALUE && task.StartTime >= end) throw FFmpegException(PastTheEnd(input, task.StartTime, end));
}

media::OutputFormatHandle NewOutputContext(const TCustomFFmpeg& task, const std::string& fileName)
{
    const AVOutputFormat* fmt =
        task.OutputFormat ? task.OutputFormat : av::av_guess_format(nullptr, fileName.c_str(), nullptr);
    if (!fmt) throw FFmpegException(Format("Unable to find a suitable output format for '%s'", fileName.c_str()));
    AVFormatContext* raw = nullptr;
    const int made = av::avformat_alloc_output_context2(&raw, fmt, nullptr, fileName.c_str());
    media::OutputFormatHandle oc(raw);
    if (made < 0 || !oc) throw FFmpegException(media::OpenErrorText(fileName, made < 0 ? made : AVERROR(ENOMEM)));
    return oc;
}

// The kinds of stream the output gets: those its container and the options ask for
// that the inputs have.
std::array<bool, 3> WantedStreams(TCustomFFmpeg& task, const AVOutputFormat* fmt)
{
    // Today's audio containers (mp3, flac) name a picture codec for their cover art;
    // that picture is no video stream of the conversion.
    const bool coverArtOnly = fmt->audio_codec != AV_CODEC_ID_NONE &&
                              (fmt->video_codec == AV_CODEC_ID_PNG || fmt->video_codec == AV_CODEC_ID_MJPEG);
    std::array<bool, 3> wanted{
        task.VideoStreamCopy || (fmt->video_codec != AV_CODEC_ID_NONE && !coverArtOnly) || !task.VideoCodecName.empty(),
        task.AudioStreamCopy || fmt->audio_codec != AV_CODEC_ID_NONE || !task.AudioCodecName.empty(),
        task.SubtitleStreamCopy || fmt->subtitle_codec != AV_CODEC_ID_NONE || !task.SubtitleCodecName.empty()};
    if (task.InputFileCount > 0) {
        TCustomFFmpeg::TInputKinds kinds;
        try {
            kinds = task.CheckInputs();
        } catch (const FFmpegException& e) {
            throw FFmpegException(Format("check_audio_video_sub_inputs fail: %s", e.what()));
        }
        wanted[0] &= kinds.Video;
        wanted[1] &= kinds.Audio;
        wanted[2] &= kinds.Subtitle;
    }
    wanted[0] &= !task.VideoDisable;
    wanted[1] &= !task.AudioDisable;
    wanted[2] &= !task.SubtitleDisable;
    return wanted;
}

void CreateWantedStreams(TCustomFFmpeg& task, AVFormatContext* oc)
{
    static constexpr struct {
        AVMediaType Type;
        const char* FailText;
    } kinds[] = {{AVMEDIA_TYPE_VIDEO, "new_video_stream fail: %s"},
                 {AVMEDIA_TYPE_AUDIO, "new_audio_stream fail: %s"},
                 {AVMEDIA_TYPE_SUBTITLE, "new_subtitle_stream fail: %s"}};
    OpenSideCarSubtitles(task);
    const std::array<bool, 3> wanted = WantedStreams(task, oc->oformat);
    for (int k = 0; k < 3; ++k) {
        // Subtitle tracks follow the default mapping, which asks the container itself.
        if (!wanted[k] && kinds[k].Type != AVMEDIA_TYPE_SUBTITLE) continue;
        try {
            if (kinds[k].Type == AVMEDIA_TYPE_AUDIO) CreateSoundStreams(task, oc);
            else if (kinds[k].Type == AVMEDIA_TYPE_SUBTITLE) CreateSubtitleStreams(task, oc, wanted[k]);
            else task.NewOutputStream(oc, kinds[k].Type);
        } catch (const FFmpegException& e) {
            throw FFmpegException(Format(kinds[k].FailText, e.what()));
        }
    }
    if (task.OutputFileCount == 0) task.DroppedTracks.clear();
    for (const std::string& line : DroppedTrackLines(task, oc)) {
        task.Log(llInfo, line);
        task.DroppedTracks += (task.DroppedTracks.empty() ? "" : "\n") + line;
    }
}

void SetOutputMetadata(TCustomFFmpeg& task, AVFormatContext* oc)
{
    // The container's timestamp is its creation time today.
    if (task.RecTimestamp) {
        const std::time_t t = static_cast<std::time_t>(task.RecTimestamp);
        std::tm utc{};
        gmtime_r(&t, &utc);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
        av::av_dict_set(&oc->metadata, "creation_time", text, 0);
    }
    for (auto it = task.Metadata.rbegin(); it != task.Metadata.rend(); ++it)
        av::av_dict_set(&oc->metadata, it->first.c_str(), it->second.c_str(), 0);
    task.Metadata.clear();
    // Muxers convert metadata keys themselves today (no av_metadata_conv step).
}

// Creates the file (unless the task's settings are only checked) and lists it as
// this task's, with its identity.
void CreateOutputFile(TCustomFFmpeg& task, AVFormatContext* oc, const std::string& fileName)
{
    const AVOutputFormat* fmt = oc->oformat;
    if ((fmt->flags & AVFMT_NEEDNUMBER) && !av::av_filename_number_test(oc->url))
        throw FFmpegException(media::OpenErrorText(oc->url, AVERROR(EDOM)));
    if ((fmt->flags & AVFMT_NOFILE) || !task.CreateOutputFiles) return;
    const int opened = av::avio_open(&oc->pb, LocalFileUrl(fileName, false).c_str(), AVIO_FLAG_WRITE);
    if (opened < 0)
        throw FFmpegException(Format("Could not open '%s': %s", fileName.c_str(), media::ErrorReason(opened).c_str()));
    TCustomFFmpeg::TCreatedFile created{fileName};
    struct stat st{};
    if (::stat(fileName.c_str(), &st) == 0) {
        created.Device = st.st_dev;
        created.Inode = st.st_ino;
    }
    task.CreatedOutputs.push_back(std::move(created));
}

void SetMuxerOptions(TCustomFFmpeg& task, AVFormatContext* oc)
{
    // av_set_parameters is gone: the muxer takes its parameters from the streams at header time.
    oc->max_delay = static_cast<int>(task.MuxMaxDelay * 1000000);
    // Preload and loop count are muxer options today (mpeg "preload", gif "loop").
    av::av_opt_set_int(oc, "preload", static_cast<std::int64_t>(task.MuxPreload * 1000000), AV_OPT_SEARCH_CHILDREN);
    if (task.LoopOutput >= 0) av::av_opt_set_int(oc, "loop", task.LoopOutput, AV_OPT_SEARCH_CHILDREN);
    if (task.OptionContext) task.ApplyContextOptions(oc, task.OptionContext->FormatSet, OptFlagEncoding);
}

// The tables the streams of an output being opened are entered in; they are given
// back unless the output is stored.
class TPendingOutput {
public:
    TPendingOutput(TCustomFFmpeg& task)
        : task_(task), index_(task.OutputFileCount), encoders_(task.ForcedEncoders.size())
    {
    }
    ~TPendingOutput()
    {
        task_.OutputFormat = nullptr;
        task_.InputFormat = nullptr;
        // A refusal for a full table has no entry of its own to give back.
        if (stored_ || index_ >= MaxFiles) return;
        task_.OutputStreams[index_].clear();
        for (auto& chain : task_.BitstreamFilterTable[index_]) chain.clear();
        task_.ForcedEncoders.resize(encoders_);
    }
    TPendingOutput(const TPendingOutput&) = delete;
    TPendingOutput& operator=(const TPendingOutput&) = delete;
    int Store(media::OutputFormatHandle oc)
    {
        task_.OutputFiles[index_] = std::move(oc);
        stored_ = true;
        return ++task_.OutputFileCount;
    }

private:
    TCustomFFmpeg& task_;
    const int index_;
    const std::size_t encoders_;
    bool stored_ = false;
};

}  // namespace

int TCustomFFmpeg::OpenOutput(const std::string& fileName)
{
    TPendingOutput pending(*this);
    CheckOutputRequest(*this, fileName);
    CheckStartBeforeEnd(*this);
    UseVideoFilters = !VideoFilters.empty();
    media::OutputFormatHandle oc = NewOutputContext(*this, fileName);
    // The 2009 live feed ("ffm" to an http address) has no counterpart: it is an ordinary output.
    CreateWantedStreams(*this, oc.get());
    SetOutputMetadata(*this, oc.get());
    CreateOutputFile(*this, oc.get(), fileName);
    SetMuxerOptions(*this, oc.get());
    return pending.Store(std::move(oc));
}

int TCustomFFmpeg::OpenOutputFile(const std::string& fileName)
{
    int count = -1;
    CatchIntoLastError([&] { count = OpenOutput(fileName); });
    return count;
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

// The option state's options for the next stream of one kind; they are used up by it.
struct TStreamKindOptions {
    AVMediaType Type;
    std::string& CodecName;
    bool& StreamCopy;
    bool& Disable;
    std::string* Language;   // null: the kind has none
    TBitstreamFilterChain& Filters;
    int SetIndex;            // the kind's option set in the option holder
    int SetFlags;
};

TStreamKindOptions KindOptions(TCustomFFmpeg& task, AVMediaType type)
{
    switch (type) {
    case AVMEDIA_TYPE_VIDEO:
        return {type, task.VideoCodecName, task.VideoStreamCopy, task.VideoDisable, nullptr,
                task.VideoBitstreamFilters, 0, OptFlagVideo | OptFlagEncoding};
    case AVMEDIA_TYPE_AUDIO:
        return {type, task.AudioCodecName, task.AudioStreamCopy, task.AudioDisable, &task.AudioLanguage,
                task.AudioBitstreamFilters, 1, OptFlagAudio | OptFlagEncoding};
    case AVMEDIA_TYPE_SUBTITLE:
        return {type, task.SubtitleCodecName, task.SubtitleStreamCopy, task.SubtitleDisable, &task.SubtitleLanguage,
                task.SubtitleBitstreamFilters, 3, OptFlagSubtitle | OptFlagEncoding};
    default: throw FFmpegException("invalid codec_type of output stream");
    }
}

struct TChosenEncoder {
    const AVCodec* Codec = nullptr;
    AVCodecID Id = AV_CODEC_ID_NONE;
};

// The named encoder, else the container's own codec for the kind. A subtitle stream
// without a name keeps the container's codec id; its encoder is looked up later.
TChosenEncoder ChooseEncoder(TCustomFFmpeg& task, const TStreamKindOptions& kind, const AVFormatContext* oc)
{
    TChosenEncoder chosen;
    if (kind.StreamCopy) return chosen;
    if (!kind.CodecName.empty()) {
        chosen.Codec = task.FindCodec(kind.CodecName, kind.Type, true);
        chosen.Id = chosen.Codec->id;
        return chosen;
    }
    chosen.Id = av::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, kind.Type);
    if (kind.Type != AVMEDIA_TYPE_SUBTITLE) chosen.Codec = av::avcodec_find_encoder(chosen.Id);
    return chosen;
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
                                 const TStreamKindOptions& kind)
{
    const int file = OutputIndex(task, oc);
    AVStream* st = oc->nb_streams < unsigned(MaxStreams) && file < MaxFiles ? av::avformat_new_stream(oc, nullptr) : nullptr;
    if (!st) {
        kind.CodecName.clear();
        if (kind.Language) kind.Language->clear();
        throw FFmpegException("Could not alloc stream");
    }
    auto& setups = task.OutputStreams[file];
    setups.resize(st->index + 1);
    TCustomFFmpeg::TOutputStreamSetup& setup = setups[st->index];
    setup.Codec.reset(av::avcodec_alloc_context3(codec));
    if (!setup.Codec) throw FFmpegException("Could not alloc stream");
    task.BitstreamFilterTable[file][st->index] = std::move(kind.Filters);
    kind.Filters.clear();
    return {st, &setup, setup.Codec};
}

// The header flags: a global header where the container keeps the codec's setup
// apart (or the user asks for it), a local one on request (video only).
void SetHeaderFlags(const TCustomFFmpeg& task, AVCodecContext* ctx, AVCodecContext* set, const AVFormatContext* oc)
{
    const bool containerWantsGlobal = oc->oformat->flags & AVFMT_GLOBALHEADER;
    const int asked = ctx->codec_type == AVMEDIA_TYPE_VIDEO ? task.VideoGlobalHeader : 0;
    if ((asked & 1) || (asked == 0 && containerWantsGlobal)) {
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (set) set->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (asked & 2) {
        ctx->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
        if (set) set->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    }
}

AVRational PictureAspect(const TCustomFFmpeg& task, int width, int height)
{
    return AspectFraction(width && height ? double(task.FrameAspectRatio) * height / width
                                          : task.FrameAspectRatio * 3.0 / 4.0);
}

// The source's pixels in the output's content size: the display aspect of the part
// of the source that the crops leave, spread over FrameWidth x FrameHeight.
AVRational SourcePixelShape(const TCustomFFmpeg& task)
{
    const int keptWidth = task.SourceWidth - task.CropLeft - task.CropRight;
    const int keptHeight = task.SourceHeight - task.CropTop - task.CropBottom;
    if (keptWidth <= 0 || keptHeight <= 0) return PictureAspect(task, task.FrameWidth, task.FrameHeight);
    const double shown = double(task.FrameAspectRatio) * keptWidth / task.SourceWidth * task.SourceHeight / keptHeight;
    return AspectFraction(task.FrameWidth && task.FrameHeight ? shown * task.FrameHeight / task.FrameWidth
                                                              : shown * 3.0 / 4.0);
}

// The frame rate the encoder takes nearest to the one asked for, as its time base.
void SetVideoRate(TCustomFFmpeg& task, AVCodecContext* ctx, const AVCodec* codec)
{
    AVRational rate = task.FrameRate.num && task.FrameRate.den ? task.FrameRate : AVRational{25, 1};
    if (codec && codec->supported_framerates && !task.ForceFps) {
        const AVRational listed = codec->supported_framerates[av::av_find_nearest_q_idx(rate, codec->supported_framerates)];
        if (av_cmp_q(listed, rate) != 0)
            task.Log(llInfo, Format("WARNING: %s does not take the frame rate %d/%d; %d/%d is used instead", codec->name,
                               rate.num, rate.den, listed.num, listed.den));
        rate = listed;
    }
    // Today's encoders refuse time base denominators above 16 bits (MPEG-4 and relatives).
    AVRational timeBase{rate.den, rate.num};
    if (timeBase.den > 65535) av::av_reduce(&timeBase.num, &timeBase.den, timeBase.num, timeBase.den, 65535);
    ctx->time_base = timeBase;
    ctx->framerate = rate;
}

std::uint16_t* MatrixCopy(const std::vector<std::uint16_t>& m)
{
    if (m.empty()) return nullptr;
    auto* copy = static_cast<std::uint16_t*>(av::av_malloc(64 * sizeof(std::uint16_t)));
    if (copy) std::memcpy(copy, m.data(), std::min<std::size_t>(m.size(), 64) * sizeof(std::uint16_t));
    return copy;
}

// Quantiser, matrices, rate-control overrides and passes.
void SetVideoRateControl(const TCustomFFmpeg& task, AVCodecContext* ctx, const std::vector<RcOverride>& overrides)
{
    if (task.IntraOnly) ctx->gop_size = 0;
    if (task.VideoQScale != 0 || task.SameQuality) {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * task.VideoQScale);
    }
    // The codec context frees what it holds here.
    ctx->intra_matrix = MatrixCopy(task.IntraMatrix);
    ctx->inter_matrix = MatrixCopy(task.InterMatrix);
    if (!overrides.empty()) {
        ctx->rc_override = static_cast<RcOverride*>(av::av_malloc(overrides.size() * sizeof(RcOverride)));
        if (ctx->rc_override) {
            std::memcpy(ctx->rc_override, overrides.data(), overrides.size() * sizeof(RcOverride));
            ctx->rc_override_count = static_cast<int>(overrides.size());
        }
    }
    if (ctx->rc_initial_buffer_occupancy == 0) ctx->rc_initial_buffer_occupancy = ctx->rc_buffer_size * 3 / 4;
    // The motion-estimation threshold has no counterpart in today's encoders.
    ctx->intra_dc_precision = task.IntraDCPrecision - 8;
    if (task.DoPSNR) ctx->flags |= AV_CODEC_FLAG_PSNR;
    if (task.DoPass == 1) ctx->flags |= AV_CODEC_FLAG_PASS1;
    else if (task.DoPass == 2) ctx->flags |= AV_CODEC_FLAG_PASS2;
}

void SetVideoEncoding(TCustomFFmpeg& task, AVStream* st, AVCodecContext* ctx, const AVCodec* codec,
                      const std::vector<RcOverride>& overrides)
{
    SetVideoRate(task, ctx, codec);
    ctx->width = task.FrameWidth + task.PadLeft + task.PadRight;
    ctx->height = task.FrameHeight + task.PadTop + task.PadBottom;
    // An aspect the user gives is the whole picture's; otherwise crop and pad keep
    // the source's pixel shape (the bands are added, the picture is not stretched).
    st->sample_aspect_ratio = ctx->sample_aspect_ratio =
        task.FrameAspectForced ? PictureAspect(task, ctx->width, ctx->height) : SourcePixelShape(task);
    ctx->pix_fmt = EncoderPixelFormat(codec ? codec->pix_fmts : nullptr, task.FramePixFmt, task.FramePixFmtForced);
    if (codec && task.FramePixFmtForced && ctx->pix_fmt != task.FramePixFmt)
        task.Log(llInfo, Format("WARNING: %s does not take the pixel format %s; %s is used instead", codec->name,
                           PixelFormatName(task.FramePixFmt), PixelFormatName(ctx->pix_fmt)));
    SetVideoRateControl(task, ctx, overrides);
}

// Channels, sample format and rate as the encoder takes them nearest to the ones asked for.
void SetAudioEncoding(TCustomFFmpeg& task, AVCodecContext* ctx, const AVCodec* codec)
{
    if (task.AudioQScale > -99999) {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * task.AudioQScale);
    }
    ChooseChannelLayout(ctx->ch_layout, codec ? codec->ch_layouts : nullptr, task.AudioChannels, task.AudioChannelLayout);
    ctx->sample_fmt = SupportedSampleFormat(codec ? codec->sample_fmts : nullptr, task.AudioSampleFmt);
    ctx->sample_rate = NearestSampleRate(codec ? codec->supported_samplerates : nullptr, task.AudioSampleRate);
    if (codec && ctx->ch_layout.nb_channels != task.AudioChannels)
        task.Log(llInfo, Format("WARNING: %s does not take %d channels; %d are used instead", codec->name, task.AudioChannels,
                           ctx->ch_layout.nb_channels));
    if (codec && ctx->sample_rate != task.AudioSampleRate)
        task.Log(llInfo, Format("WARNING: %s does not take the sample rate %d Hz; %d Hz is used instead", codec->name,
                           task.AudioSampleRate, ctx->sample_rate));
    if (codec && task.AudioSampleFmtForced && ctx->sample_fmt != task.AudioSampleFmt)
        task.Log(llInfo, Format("WARNING: %s does not take the sample format %s; %s is used instead", codec->name,
                           SampleFormatName(task.AudioSampleFmt), SampleFormatName(ctx->sample_fmt)));
}

// A copied stream's context carries what the muxer is told before the input's
// parameters are copied in: the video's aspect, the audio's layout.
void SetCopiedStream(TCustomFFmpeg& task, AVStream* st, AVCodecContext* ctx)
{
    if (ctx->codec_type == AVMEDIA_TYPE_VIDEO)
        st->sample_aspect_ratio = ctx->sample_aspect_ratio = PictureAspect(task, task.FrameWidth, task.FrameHeight);
    if (ctx->codec_type == AVMEDIA_TYPE_AUDIO)
        ChooseChannelLayout(ctx->ch_layout, nullptr, task.AudioChannels, task.AudioChannelLayout);
}

void SetEncodedStream(TCustomFFmpeg& task, const TStreamKindOptions& kind, AVStream* st,
                      TCustomFFmpeg::TOutputStreamSetup& setup, const TChosenEncoder& chosen,
                      const std::vector<RcOverride>& overrides)
{
    AVCodecContext* ctx = setup.Codec;
    ctx->codec_id = chosen.Id;
    setup.Encoder = chosen.Codec || kind.Type != AVMEDIA_TYPE_SUBTITLE ? chosen.Codec : av::avcodec_find_encoder(chosen.Id);
    if (task.OptionContext) task.ApplyContextOptions(ctx, task.OptionContext->CodecSets[kind.SetIndex], kind.SetFlags);
    if (kind.Type == AVMEDIA_TYPE_VIDEO) SetVideoEncoding(task, st, ctx, chosen.Codec, overrides);
    if (kind.Type == AVMEDIA_TYPE_AUDIO) SetAudioEncoding(task, ctx, chosen.Codec);
}

}  // namespace

void TCustomFFmpeg::NewOutputStream(AVFormatContext* oc, AVMediaType type)
{
    const TStreamKindOptions kind = KindOptions(*this, type);
    const TChosenEncoder chosen = ChooseEncoder(*this, kind, oc);
    std::vector<RcOverride> overrides;
    if (type == AVMEDIA_TYPE_VIDEO && !kind.StreamCopy) {
        try {
            overrides = ParseRcOverride(VideoRcOverride);
        } catch (const FFmpegException&) {
            kind.CodecName.clear();
            throw;
        }
    }
    const TNewOutputStream added = AddOutputStream(*this, oc, chosen.Codec, kind);
    AVStream* st = added.Stream;
    AVCodecContext* ctx = added.Codec;
    if (type != AVMEDIA_TYPE_SUBTITLE) ctx->thread_count = CodecThreadCount;
    ctx->codec_type = type;
    const std::uint32_t tag = type == AVMEDIA_TYPE_VIDEO ? VideoCodecTag : type == AVMEDIA_TYPE_AUDIO ? AudioCodecTag : 0;
    if (tag) ctx->codec_tag = tag;
    if (type != AVMEDIA_TYPE_SUBTITLE)
        SetHeaderFlags(*this, ctx, OptionContext ? OptionContext->CodecSets[kind.SetIndex].get() : nullptr, oc);
    if (kind.StreamCopy) {
        added.Setup->StreamCopy = true;
        SetCopiedStream(*this, st, ctx);
    } else {
        SetEncodedStream(*this, kind, st, *added.Setup, chosen, overrides);
    }
    // Only an encoder given by name is forced.
    ForcedEncoders.push_back(kind.CodecName.empty() ? nullptr : chosen.Codec);
    if (type == AVMEDIA_TYPE_AUDIO) {
        if (kind.StreamCopy) ctx->sample_rate = AudioSampleRate;
        ctx->time_base = AVRational{1, ctx->sample_rate > 0 ? ctx->sample_rate : 1};
    }
    if (type != AVMEDIA_TYPE_SUBTITLE) st->time_base = ctx->time_base;
    if (kind.Language && !kind.Language->empty()) av::av_dict_set(&st->metadata, "language", kind.Language->c_str(), 0);
    if (kind.Language) kind.Language->clear();
    av::avcodec_parameters_from_context(st->codecpar, ctx);
    kind.Disable = false;
    kind.CodecName.clear();
    kind.StreamCopy = false;
}

}  // namespace kv::engine
