// Stand-in for the input/output setup, which is built separately: a plain opening of
// inputs and outputs with the option state, enough for the transcode to run.
#include <climits>
#include <cstdlib>
#include <mutex>

#include "engine/FFmpeg.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFUtils.h"
#include "media/FFmpegLoader.h"

namespace kv::engine {

namespace {

std::string RealPath(const std::string& name)
{
    char buf[PATH_MAX];
    return ::realpath(name.c_str(), buf) ? std::string(buf) : name;
}

int FileIndexOf(const TCustomFFmpeg& task, const AVFormatContext* oc)
{
    for (int f = 0; f < task.OutputFileCount; ++f)
        if (task.OutputFiles[f] == oc) return f;
    return task.OutputFileCount;
}

// A new stream with its own codec context; raises when the tables are full.
AVCodecContext* AddStream(TCustomFFmpeg& task, AVFormatContext* oc, AVMediaType type, bool copy,
                          TBitstreamFilterChain& filters, int& index)
{
    const int f = FileIndexOf(task, oc);
    if (f >= MaxFiles || static_cast<int>(oc->nb_streams) >= MaxStreams) throw FFmpegException("Could not alloc stream");
    AVStream* st = av::avformat_new_stream(oc, nullptr);
    if (!st) throw FFmpegException("Could not alloc stream");
    AVCodecContext* enc = av::avcodec_alloc_context3(nullptr);
    if (!enc) throw FFmpegException("Could not alloc stream");
    enc->codec_type = type;
    index = st->index;
    task.OutputStreamCodecs[f][index] = {enc, copy};
    task.BitstreamFilterTable[f][index] = std::move(filters);
    filters.clear();
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return enc;
}

const AVCodec* OutputEncoder(const std::string& name, AVFormatContext* oc, AVMediaType type)
{
    if (!name.empty()) {
        const AVCodec* codec = av::avcodec_find_encoder_by_name(name.c_str());
        if (!codec) throw FFmpegException("Unknown encoder '" + name + "'");
        if (codec->type != type) throw FFmpegException("Invalid encoder type '" + name + "'");
        return codec;
    }
    const AVCodecID id = av::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
    const AVCodec* codec = av::avcodec_find_encoder(id);
    if (!codec) throw FFmpegException("Unsupported codec for the output container");
    return codec;
}

}  // namespace

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName)
{
    AVFormatContext* ic = av::avformat_alloc_context();
    if (!ic) {
        LastErrorMessage = "av_mallocz fail";
        return false;
    }
    if (OptionContext) ApplyContextOptions(ic, OptionContext->FormatSet, OptFlagDecoding);
    int r = av::avformat_open_input(&ic, fileName.c_str(), InputFormat, nullptr);
    if (r < 0) {
        LastErrorMessage = media::OpenErrorText(fileName, r);
        InputFormat = nullptr;
        return false;
    }
    {
        std::lock_guard lock(media::CodecLock());
        r = av::avformat_find_stream_info(ic, nullptr);
    }
    if (r < 0 && Verbose >= 0) {
        LastErrorMessage = fileName + ": could not find codec parameters";
        av::avformat_close_input(&ic);
        return false;
    }
    std::int64_t timestamp = StartTime;
    if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
    if (StartTime != 0) av::av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);
    StartTime = 0;
    for (unsigned s = 0; s < ic->nb_streams; ++s) {
        AVStream* st = ic->streams[s];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            FrameWidth = par->width;
            FrameHeight = par->height;
            FramePixFmt = par->format < 0 ? 0 : par->format;
            const AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
            const double aspect = sar.num ? av_q2d(sar) : 0;
            if (par->width > 0 && par->height > 0) FrameAspectRatio = static_cast<float>(
                (aspect ? aspect : 1.0) * par->width / par->height);
            else if (FrameAspectRatio == 0) FrameAspectRatio = 4.0f / 3;
            FrameRate = st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate;
            if (VideoDisable) st->discard = AVDISCARD_ALL;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            AudioChannels = par->ch_layout.nb_channels;
            AudioSampleRate = par->sample_rate;
            AudioSampleFmt = par->format;
            if (AudioDisable) st->discard = AVDISCARD_ALL;
        } else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE) {
            if (SubtitleDisable) st->discard = AVDISCARD_ALL;
        }
        ForcedDecoders.push_back(nullptr);
        ForcedDecoderCount += 1;
    }
    if (ic->duration != AV_NOPTS_VALUE && ic->duration / 1000 > TotalOutputDuration)
        TotalOutputDuration = static_cast<int>(ic->duration / 1000);
    InputFiles[InputFileCount] = ic;
    InputTimeOffsets[InputFileCount] = CopyTs ? InputTsOffset : InputTsOffset - timestamp;
    InputFileCount += 1;
    InputFormat = nullptr;
    OutputFormat = nullptr;
    return true;
}

int TCustomFFmpeg::OpenOutputFile(const std::string& fileName)
{
    AVFormatContext* oc = nullptr;
    bool stored = false;
    try {
        for (int i = 0; i < InputFileCount; ++i)
            if (RealPath(InputFiles[i]->url) == RealPath(fileName))
                throw FFmpegException("Output file '" + fileName + "' is the same as an input file");
        const AVOutputFormat* format = OutputFormat ? OutputFormat : av::av_guess_format(nullptr, fileName.c_str(), nullptr);
        if (!format) throw FFmpegException("Unable to find a suitable output format for '" + fileName + "'");
        if (OutputFileCount >= MaxFiles) throw FFmpegException("Too many output files");
        oc = av::avformat_alloc_context();
        if (!oc) throw FFmpegException("av_mallocz fail");
        oc->oformat = format;
        oc->url = av::av_strdup(fileName.c_str());
        bool hasVideo = false, hasAudio = false, hasSubtitle = false;
        for (int i = 0; i < InputFileCount; ++i) {
            for (unsigned s = 0; s < InputFiles[i]->nb_streams; ++s) {
                const AVMediaType t = InputFiles[i]->streams[s]->codecpar->codec_type;
                hasVideo |= t == AVMEDIA_TYPE_VIDEO;
                hasAudio |= t == AVMEDIA_TYPE_AUDIO;
                hasSubtitle |= t == AVMEDIA_TYPE_SUBTITLE;
            }
        }
        const bool anyInput = InputFileCount > 0;
        const bool video = (VideoStreamCopy || format->video_codec != AV_CODEC_ID_NONE || !VideoCodecName.empty()) &&
                           (!anyInput || hasVideo) && !VideoDisable;
        const bool audio = (AudioStreamCopy || format->audio_codec != AV_CODEC_ID_NONE || !AudioCodecName.empty()) &&
                           (!anyInput || hasAudio) && !AudioDisable;
        const bool subtitle = (SubtitleStreamCopy || !SubtitleCodecName.empty()) && (!anyInput || hasSubtitle) &&
                              !SubtitleDisable;
        OutputFiles[OutputFileCount] = oc;   // the stream tables are per file number
        if (video) NewVideoStream(oc);
        if (audio) NewAudioStream(oc);
        if (subtitle) NewSubtitleStream(oc);
        OutputFileCount += 1;
        stored = true;
        if (!(format->flags & AVFMT_NOFILE) &&
            av::avio_open(&oc->pb, fileName.c_str(), AVIO_FLAG_WRITE) < 0)
            throw FFmpegException("Could not open '" + fileName + "'");
        oc->max_delay = static_cast<int>(MuxMaxDelay * 1000000);
        if (OptionContext) ApplyContextOptions(oc, OptionContext->FormatSet, OptFlagEncoding);
        OutputFormat = nullptr;
        InputFormat = nullptr;
        return OutputFileCount;
    } catch (const FFmpegException& e) {
        LastErrorMessage = e.what();
        if (oc) {
            const int f = stored ? --OutputFileCount : OutputFileCount;
            for (TOutputStreamCodec& sc : OutputStreamCodecs[f]) {
                if (sc.Codec) av::avcodec_free_context(&sc.Codec);
                sc.StreamCopy = false;
            }
            for (auto& chain : BitstreamFilterTable[f]) chain.clear();
            if (oc->pb) av::avio_closep(&oc->pb);
            av::avformat_free_context(oc);
            OutputFiles[f] = nullptr;
        }
        OutputFormat = nullptr;
        InputFormat = nullptr;
        return -1;
    }
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext* output)
{
    int index = 0;
    const bool copy = VideoStreamCopy;
    const std::string name = VideoCodecName;
    VideoStreamCopy = false;
    VideoCodecName.clear();
    VideoDisable = false;
    AVCodecContext* enc = AddStream(*this, output, AVMEDIA_TYPE_VIDEO, copy, VideoBitstreamFilters, index);
    if (VideoCodecTag) enc->codec_tag = VideoCodecTag;
    const AVCodec* named = nullptr;
    if (!copy) {
        const AVCodec* codec = OutputEncoder(name, output, AVMEDIA_TYPE_VIDEO);
        if (!name.empty()) named = codec;
        enc->codec_id = codec->id;
        if (OptionContext) ApplyContextOptions(enc, OptionContext->CodecSets[0], OptFlagEncoding | OptFlagVideo);
        AVRational rate = FrameRate.num ? FrameRate : AVRational{25, 1};
        if (codec->supported_framerates && !ForceFps)
            rate = codec->supported_framerates[av::av_find_nearest_q_idx(rate, codec->supported_framerates)];
        enc->time_base = av_inv_q(rate);
        enc->framerate = rate;
        enc->width = FrameWidth + PadLeft + PadRight;
        enc->height = FrameHeight + PadTop + PadBottom;
        enc->pix_fmt = static_cast<AVPixelFormat>(FramePixFmt);
        if (codec->pix_fmts) {
            bool listed = false;
            for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) listed |= *p == enc->pix_fmt;
            if (!listed) enc->pix_fmt = codec->pix_fmts[0];
        }
        if (FrameAspectRatio > 0 && enc->width > 0 && enc->height > 0) {
            enc->sample_aspect_ratio = av::av_d2q(static_cast<double>(FrameAspectRatio) * enc->height / enc->width, 255);
            output->streams[index]->sample_aspect_ratio = enc->sample_aspect_ratio;
        }
        if (IntraOnly) enc->gop_size = 0;
        if (VideoQScale != 0 || SameQuality) {
            enc->flags |= AV_CODEC_FLAG_QSCALE;
            enc->global_quality = static_cast<int>(FF_QP2LAMBDA * VideoQScale);
        }
        if (DoPSNR) enc->flags |= AV_CODEC_FLAG_PSNR;
        if (DoPass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
        if (DoPass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
    }
    ForcedEncoders.push_back(named);
    ForcedEncoderCount += 1;
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext* output)
{
    int index = 0;
    const bool copy = AudioStreamCopy;
    const std::string name = AudioCodecName;
    AudioStreamCopy = false;
    AudioCodecName.clear();
    AudioDisable = false;
    AVCodecContext* enc = AddStream(*this, output, AVMEDIA_TYPE_AUDIO, copy, AudioBitstreamFilters, index);
    if (AudioCodecTag) enc->codec_tag = AudioCodecTag;
    const AVCodec* named = nullptr;
    if (!copy) {
        const AVCodec* codec = OutputEncoder(name, output, AVMEDIA_TYPE_AUDIO);
        if (!name.empty()) named = codec;
        enc->codec_id = codec->id;
        if (OptionContext) ApplyContextOptions(enc, OptionContext->CodecSets[1], OptFlagEncoding | OptFlagAudio);
        av::av_channel_layout_default(&enc->ch_layout, AudioChannels > 0 ? AudioChannels : 2);
        enc->sample_fmt = static_cast<AVSampleFormat>(AudioSampleFmt);
        if (codec->sample_fmts) {
            bool listed = false;
            for (const AVSampleFormat* p = codec->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
                listed |= *p == enc->sample_fmt;
            if (!listed) enc->sample_fmt = codec->sample_fmts[0];
        }
        if (AudioQScale > -99999) {
            enc->flags |= AV_CODEC_FLAG_QSCALE;
            enc->global_quality = static_cast<int>(FF_QP2LAMBDA * AudioQScale);
        }
    }
    ForcedEncoders.push_back(named);
    ForcedEncoderCount += 1;
    enc->sample_rate = AudioSampleRate;
    enc->time_base = {1, AudioSampleRate > 0 ? AudioSampleRate : 1};
    if (!AudioLanguage.empty()) {
        av::av_dict_set(&output->streams[index]->metadata, "language", AudioLanguage.c_str(), 0);
        AudioLanguage.clear();
    }
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* output)
{
    int index = 0;
    const bool copy = SubtitleStreamCopy;
    const std::string name = SubtitleCodecName;
    SubtitleStreamCopy = false;
    SubtitleCodecName.clear();
    SubtitleDisable = false;
    AVCodecContext* enc = AddStream(*this, output, AVMEDIA_TYPE_SUBTITLE, copy, SubtitleBitstreamFilters, index);
    const AVCodec* named = nullptr;
    if (!copy) {
        named = OutputEncoder(name, output, AVMEDIA_TYPE_SUBTITLE);
        enc->codec_id = named->id;
        enc->time_base = {1, 1000};
    }
    ForcedEncoders.push_back(named);
    ForcedEncoderCount += 1;
    if (!SubtitleLanguage.empty()) {
        av::av_dict_set(&output->streams[index]->metadata, "language", SubtitleLanguage.c_str(), 0);
        SubtitleLanguage.clear();
    }
}

void TCustomFFmpeg::ApplyTarget(const std::string& type, const std::string&, const std::string&)
{
    throw FFmpegException("Target presets are not available in this build: " + type);
}

}  // namespace kv::engine
