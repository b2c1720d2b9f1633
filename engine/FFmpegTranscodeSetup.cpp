// The transcode from its call to the moment before the first packet is read: the
// run's tables, stream mapping, stream parameters, codecs, metadata and headers;
// and what releases a run's and a task's resources afterwards.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/CoverArt.h"
#include "engine/FFmpegStreams.h"
#include "engine/KeptMetadata.h"
#include "engine/PreviewLock.h"
#include "engine/StreamChoice.h"
#include "media/AVCodecStubs.h"
#include "media/AVFilterStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "media/MyUtilStubs.h"
#include "media/MyUtils.h"
#include "media/SwResampleStubs.h"
#include "media/SwScaleStubs.h"
#include "platform/UiThread.h"

namespace kv::engine {

int TCustomFFmpeg::CodecThreads() const
{
    if (CodecThreadCount > 1) return CodecThreadCount;
    return TaskThreadCount >= 0 ? TaskThreadCount : 1;
}

std::int64_t TCustomFFmpeg::ChosenScaleFlags() const
{
    std::int64_t flags = ScaleFlags;
    if (OptionContext) av::av_opt_get_int(OptionContext->ScalerSet, "sws_flags", 0, &flags);
    return flags;
}

namespace {

// Dumps an output file's description and raises `message`.
[[noreturn]] void FailWithDump(AVFormatContext* file, int index, const std::string& message)
{
    av::av_dump_format(file, index, file->url, 1);
    throw FFmpegException(message);
}

bool ValidStream(const std::vector<TInputFileState>& files, int file, int stream)
{
    return file >= 0 && file < static_cast<int>(files.size()) && stream >= 0 &&
           stream < files[file].FileStreamCount;
}

// The tag a copied stream keeps: the input's, unless the output container has a
// table that knows the codec under another tag (then the muxer picks it). A tag the
// table gives to another codec is never kept: today's muxers refuse it.
std::uint32_t CopiedCodecTag(const AVOutputFormat* format, const AVCodecParameters* in)
{
    const AVCodecTag* const* table = format->codec_tag;
    if (!table || av::av_codec_get_id(table, in->codec_tag) == in->codec_id) return in->codec_tag;
    if (av::av_codec_get_tag(table, in->codec_id) == 0 && av::av_codec_get_id(table, in->codec_tag) == AV_CODEC_ID_NONE)
        return in->codec_tag;
    return 0;
}

// Time base of a copied stream: a container clock much finer than the frames (as
// MP4's or MPEG-TS's) is replaced by the frame duration, so that containers that
// store one tick per frame (AVI) get a sensible rate.
AVRational CopyTimeBase(const AVStream* in)
{
    AVRational frame = in->avg_frame_rate.num > 0 && in->avg_frame_rate.den > 0 ? av_inv_q(in->avg_frame_rate)
                                                                                 : AVRational{0, 1};
    if (in->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) frame = {0, 1};
    if (frame.num > 0 && av_q2d(frame) > av_q2d(in->time_base) && av_q2d(in->time_base) < 0.001) return frame;
    return in->time_base;
}

bool HasVideo(const AVFormatContext* file)
{
    for (unsigned s = 0; s < file->nb_streams; ++s)
        if (file->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return true;
    return false;
}

// Whether pictures are placed on the encoder's fixed grid of ticks (duplicated and
// dropped to fill it) rather than at their own times: with synchronisation, unless
// a container of variable rate may keep the source's timing because the rate stays.
bool FixedRate(const TCustomFFmpeg& task, const TOutputStream& ost, const TInputStream& ist)
{
    const AVCodecContext* enc = ost.Encoder;
    const bool sync = task.VideoSyncMethod > 0 || (task.VideoSyncMethod < 0 && av_q2d(enc->time_base) > 0.001);
    if (!sync || task.VideoSyncMethod == 2) return false;
    if (task.VideoSyncMethod > 0) return true;
    const AVRational source = StreamFrameRate(ist.Stream);
    const bool sameRate = source.num > 0 && source.den > 0 && enc->framerate.num > 0 &&
                          av_cmp_q(enc->framerate, source) == 0;
    return !(sameRate && (task.OutputFiles[ost.FileIndex]->oformat->flags & AVFMT_VARIABLE_FPS));
}

}  // namespace

// ---------------------------------------------------------------------------
// Filter graph: buffer source -> scaler when the size changes -> the user's chain
// -> a buffer sink restricted to the encoder's pixel format.

namespace {

// The user's chain between `last` and the sink; the parser takes over what it links.
int LinkUserChain(const TCustomFFmpeg& task, AVFilterGraph* graph, AVFilterContext* last, AVFilterContext* sink)
{
    media::FilterInOutHandle outputs(av::avfilter_inout_alloc());
    media::FilterInOutHandle inputs(av::avfilter_inout_alloc());
    if (!outputs || !inputs) return -1;
    outputs->name = av::av_strdup("in");
    outputs->filter_ctx = last;
    outputs->pad_idx = 0;
    inputs->name = av::av_strdup("out");
    inputs->filter_ctx = sink;
    inputs->pad_idx = 0;
    AVFilterInOut* in = inputs.release();
    AVFilterInOut* out = outputs.release();
    const int r = av::avfilter_graph_parse_ptr(graph, task.VideoFilters.c_str(), &in, &out, nullptr);
    inputs.reset(in);
    outputs.reset(out);
    return r;
}

[[noreturn]] void FilterFailure()
{
    throw FFmpegException("Error opening filters!");
}

void BuildFilterGraph(TCustomFFmpeg& task, TInputStream& ist, TOutputStream& ost)
{
    AVCodecContext* codec = ost.Encoder;
    const TPictureShape icodec = transcode::DecodedShape(ist);
    if (task.CropLeft + task.CropRight + task.CropTop + task.CropBottom != 0) {
        throw FFmpegException("Error opening filters: Cannot enable crop options and filters at the same time.");
    }
    ist.FilterGraph.reset(av::avfilter_graph_alloc());
    if (!ist.FilterGraph) FilterFailure();
    const std::int64_t swsFlags = task.ChosenScaleFlags();
    const AVRational sar = icodec.SampleAspect;
    const std::string sourceArgs =
        Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", icodec.Width, icodec.Height,
               icodec.PixelFormat, AV_TIME_BASE, sar.num, sar.num ? sar.den : 1);
    if (av::avfilter_graph_create_filter(&ist.FilterSource, av::avfilter_get_by_name("buffer"), "src",
                                         sourceArgs.c_str(), nullptr, ist.FilterGraph.get()) < 0)
        FilterFailure();
    ist.FilterSink = av::avfilter_graph_alloc_filter(ist.FilterGraph.get(), av::avfilter_get_by_name("buffersink"), "out");
    if (!ist.FilterSink) FilterFailure();
    const int pixFmts[] = {codec->pix_fmt, AV_PIX_FMT_NONE};
    if (av::av_opt_set_bin(ist.FilterSink, "pix_fmts", reinterpret_cast<const std::uint8_t*>(pixFmts),
                           sizeof(int), AV_OPT_SEARCH_CHILDREN) < 0 ||
        av::avfilter_init_str(ist.FilterSink, nullptr) < 0)
        FilterFailure();
    AVFilterContext* last = ist.FilterSource;
    if (icodec.Width + task.PadLeft + task.PadRight != codec->width ||
        icodec.Height + task.PadTop + task.PadBottom != codec->height) {
        AVFilterContext* scale = nullptr;
        const std::string args = Format("%d:%d:flags=%lld", codec->width - task.PadLeft - task.PadRight,
                                        codec->height - task.PadTop - task.PadBottom,
                                        static_cast<long long>(swsFlags));
        if (av::avfilter_graph_create_filter(&scale, av::avfilter_get_by_name("scale"), "scale", args.c_str(),
                                             nullptr, ist.FilterGraph.get()) < 0 ||
            av::avfilter_link(last, 0, scale, 0) < 0)
            FilterFailure();
        last = scale;
    }
    if (!task.VideoFilters.empty()) {
        if (LinkUserChain(task, ist.FilterGraph.get(), last, ist.FilterSink) < 0) FilterFailure();
    } else if (av::avfilter_link(last, 0, ist.FilterSink, 0) < 0) {
        FilterFailure();
    }
    ist.FilterGraph->scale_sws_opts = av::av_strdup(Format("flags=%lld", static_cast<long long>(swsFlags)).c_str());
    if (av::avfilter_graph_config(ist.FilterGraph.get(), nullptr) < 0) FilterFailure();
    const int w = av::av_buffersink_get_w(ist.FilterSink);
    const int h = av::av_buffersink_get_h(ist.FilterSink);
    if (task.PadLeft + task.PadRight + task.PadTop + task.PadBottom == 0 ||
        (w == task.FrameWidth && h == task.FrameHeight)) {
        codec->width = w + task.PadLeft + task.PadRight;
        codec->height = h + task.PadTop + task.PadBottom;
        ist.FilteredPicture.reset(av::av_frame_alloc());
        if (!ist.FilteredPicture) FilterFailure();
        return;
    }
    throw FFmpegException("Error opening filters: Cannot enable pad options and the filters which resize frame at "
                          "the same time. (crop, rotate, scale, transpose, etc.)");
}

// Text subtitle encoders need the style header that the input's decoder makes when
// it opens; the decoders open after the encoders, so a decoder is opened for it here.
void CopySubtitleHeader(AVCodecContext* enc, const TInputStream& ist)
{
    const AVCodec* codec = av::avcodec_find_decoder(ist.Stream->codecpar->codec_id);
    media::CodecContextHandle dec(codec ? av::avcodec_alloc_context3(codec) : nullptr);
    if (!dec) return;
    if (av::avcodec_parameters_to_context(dec.get(), ist.Stream->codecpar) >= 0) {
        int r;
        {
            std::lock_guard lock(media::CodecLock());
            r = av::avcodec_open2(dec.get(), codec, nullptr);
        }
        if (r >= 0 && dec->subtitle_header && dec->subtitle_header_size > 0) {
            enc->subtitle_header = static_cast<std::uint8_t*>(av::av_mallocz(dec->subtitle_header_size + 1));
            if (enc->subtitle_header) {
                std::memcpy(enc->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
                enc->subtitle_header_size = dec->subtitle_header_size;
            }
        }
    }
    // Closing an opened decoder takes the codec lock, like opening it.
    std::lock_guard lock(media::CodecLock());
    dec.reset();
}

// The tags that describe a song or a film: the source's are kept where the output
// has none of the same meaning (the output record's "author" and "year" are the older
// names of "artist" and "date").
void KeepSourceTags(const AVDictionary* source, AVDictionary** output)
{
    static const char* const tags[][2] = {{"title", nullptr}, {"artist", "author"}, {"album", nullptr},
                                          {"date", "year"},    {"track", nullptr},  {"genre", nullptr},
                                          {"comment", nullptr}};
    for (const auto& tag : tags) {
        const AVDictionaryEntry* value = av::av_dict_get(source, tag[0], nullptr, 0);
        if (!value || av::av_dict_get(*output, tag[0], nullptr, 0) ||
            (tag[1] && av::av_dict_get(*output, tag[1], nullptr, 0)))
            continue;
        av::av_dict_set(output, tag[0], value->value, 0);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Setup phases, in the order TranscodeSetup calls them. Each throws FFmpegException;
// whatever a phase made is held by the run's tables and goes with them.

namespace setup {
namespace {

void BuildInputTables(TCustomFFmpeg& task, TTranscodeRun& run)
{
    int streamCount = 0;
    run.InputFileTable.resize(task.InputFileCount);
    for (int f = 0; f < task.InputFileCount; ++f) {
        TInputFileState& file = run.InputFileTable[f];
        file.FirstStreamIndex = streamCount;
        file.FileStreamCount = static_cast<int>(task.InputFiles[f]->nb_streams);
        streamCount += file.FileStreamCount;
        for (unsigned s = 0; s < task.InputFiles[f]->nb_streams; ++s) {
            auto ist = std::make_unique<TInputStream>();
            ist->Stream = task.InputFiles[f]->streams[s];
            ist->FileIndex = f;
            ist->StreamIndex = static_cast<int>(s);
            if (task.RateEmu) ist->WallStart = av::av_gettime();
            run.InputStreamTable.push_back(std::move(ist));
        }
    }
}

// Every output file has a stream, and the stream maps (when given) name one valid
// input stream per output stream.
void CheckStreamMaps(const TCustomFFmpeg& task, const TTranscodeRun& run)
{
    int outputCount = 0;
    for (int f = 0; f < task.OutputFileCount; ++f) {
        if (task.OutputFiles[f]->nb_streams == 0)
            FailWithDump(task.OutputFiles[f], f, Format("Output file #%d does not contain any stream", f));
        outputCount += static_cast<int>(task.OutputFiles[f]->nb_streams);
    }
    if (task.StreamMapCount > 0 && task.StreamMapCount != outputCount)
        throw FFmpegException("Number of stream maps must match number of output streams");
    for (int m = 0; m < task.StreamMapCount; ++m) {
        const TStreamMap& map = task.StreamMaps[m];
        if (!ValidStream(run.InputFileTable, map.FileIndex, map.StreamIndex))
            throw FFmpegException(Format("Could not find input stream #%d.%d", map.FileIndex, map.StreamIndex));
        if (!ValidStream(run.InputFileTable, map.SyncFileIndex, map.SyncStreamIndex))
            throw FFmpegException(Format("Could not find sync stream #%d.%d", map.SyncFileIndex, map.SyncStreamIndex));
    }
}

bool Unmapped(const TTranscodeRun& run, int index, AVMediaType type)
{
    const TInputStream& cand = *run.InputStreamTable[index];
    return cand.Unmapped && cand.Stream->codecpar->codec_type == type && !IsCoverArt(cand.Stream);
}

// The first unmapped stream of `type` in the selected program; -1 for none.
int ProgramSource(const TCustomFFmpeg& task, const TTranscodeRun& run, AVMediaType type)
{
    for (int i = 0; i < task.InputFileCount; ++i) {
        const AVFormatContext* ic = task.InputFiles[i];
        for (unsigned p = 0; p < ic->nb_programs; ++p) {
            if (ic->programs[p]->id != task.ProgramID) continue;
            for (unsigned k = 0; k < ic->programs[p]->nb_stream_indexes; ++k) {
                const int idx = run.InputFileTable[i].FirstStreamIndex + static_cast<int>(ic->programs[p]->stream_index[k]);
                if (Unmapped(run, idx, type)) return idx;
            }
        }
    }
    return -1;
}

// Without maps: the first unmapped input stream of the type, else the last of the type.
int AutomaticSource(const TCustomFFmpeg& task, const TTranscodeRun& run, AVMediaType type)
{
    if (task.ProgramID != 0) return ProgramSource(task, run, type);
    const int streamCount = static_cast<int>(run.InputStreamTable.size());
    for (int i = 0; i < streamCount; ++i)
        if (Unmapped(run, i, type)) return i;
    for (int i = streamCount - 1; i >= 0; --i)
        if (run.InputStreamTable[i]->Stream->codecpar->codec_type == type && !IsCoverArt(run.InputStreamTable[i]->Stream))
            return i;
    return -1;
}

// The source the default mapping chose with the output's streams (engine/StreamChoice.h).
int ChosenSource(const TCustomFFmpeg::TOutputStreamSetup& setup, const TTranscodeRun& run)
{
    if (!ValidStream(run.InputFileTable, setup.SourceFile, setup.SourceStream)) return -1;
    return run.InputFileTable[setup.SourceFile].FirstStreamIndex + setup.SourceStream;
}

int MappedIndex(const TTranscodeRun& run, int file, int stream)
{
    return run.InputFileTable[file].FirstStreamIndex + stream;
}

// The output stream table, each with its source and its sync input.
void MapStreams(TCustomFFmpeg& task, TTranscodeRun& run)
{
    CheckStreamMaps(task, run);
    int n = 0;
    for (int f = 0; f < task.OutputFileCount; ++f) {
        AVFormatContext* oc = task.OutputFiles[f];
        for (unsigned s = 0; s < oc->nb_streams; ++s, ++n) {
            auto ost = std::make_unique<TOutputStream>();
            ost->FileIndex = f;
            ost->StreamIndex = static_cast<int>(s);
            ost->Stream = oc->streams[s];
            if (s < task.OutputStreams[f].size()) ost->Encoder = task.OutputStreams[f][s].Codec;
            if (!ost->Encoder) FailWithDump(oc, f, Format("Output stream #%d.%d has no codec context", f, s));
            const AVMediaType type = ost->Encoder->codec_type;
            const TStreamMap* map = task.StreamMapCount > 0 ? &task.StreamMaps[n] : nullptr;
            const int chosen = map ? -1 : ChosenSource(task.OutputStreams[f][s], run);
            const int source = map ? MappedIndex(run, map->FileIndex, map->StreamIndex)
                               : chosen >= 0 ? chosen : AutomaticSource(task, run, type);
            if (map && run.InputStreamTable[source]->Stream->codecpar->codec_type != type)
                FailWithDump(oc, f, Format("Codec type mismatch for mapping #%d.%d -> #%d.%d", map->FileIndex,
                                           map->StreamIndex, f, s));
            if (source < 0) FailWithDump(oc, f, Format("Could not find input stream matching output stream #%d.%d", f, s));
            ost->SourceIndex = source;
            run.InputStreamTable[source]->Unmapped = 0;
            const int sync = map ? MappedIndex(run, map->SyncFileIndex, map->SyncStreamIndex) : source;
            ost->SyncInput = run.InputStreamTable[sync].get();
            run.OutputStreamTable.push_back(std::move(ost));
        }
    }
}

// A copied stream takes the input's parameters; what needs decoded frames is refused.
void SetCopyParameters(TCustomFFmpeg& task, TOutputStream& ost, const TInputStream& ist)
{
    const AVCodecParameters* icodec = ist.Stream->codecpar;
    AVCodecParameters* par = ost.Stream->codecpar;
    const std::uint32_t forcedTag = ost.Encoder->codec_tag;
    if (av::avcodec_parameters_copy(par, icodec) < 0) throw FFmpegException("av_mallocz fail");
    par->codec_tag = forcedTag ? forcedTag : CopiedCodecTag(task.OutputFiles[ost.FileIndex]->oformat, icodec);
    ost.CopyTimeBase = CopyTimeBase(ist.Stream);
    ost.Stream->time_base = ost.CopyTimeBase;
    switch (icodec->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        if (task.CustomHookHandler)
            throw FFmpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
        if (task.UsingVHook) throw FFmpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
        // Previews come from decoded pictures: a copied one simply shows none, rather
        // than failing a conversion the user asked to copy.
        if (task.PreviewFlags != 0) task.Log(llInfo, "No preview of a copied picture: its frames are not decoded");
        ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
        ost.Stream->r_frame_rate = ist.Stream->r_frame_rate;
        if (ost.Stream->sample_aspect_ratio.num == 0) ost.Stream->sample_aspect_ratio = ist.Stream->sample_aspect_ratio;
        transcode::KeepDisplayMatrix(ist.Stream, ost.Stream);
        if (TCopyTimes::Needed(ist.Stream, task.InputFiles[ist.FileIndex]->iformat->name,
                               task.OutputFiles[ost.FileIndex]->oformat))
            ost.CopyTimes = std::make_unique<TCopyTimes>(ist.Stream);
        break;
    case AVMEDIA_TYPE_AUDIO:
        if (task.AudioVolume != 256)
            throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
        if ((par->block_align == 1 && par->codec_id == AV_CODEC_ID_MP3) || par->codec_id == AV_CODEC_ID_AC3)
            par->block_align = 0;
        break;
    case AVMEDIA_TYPE_SUBTITLE: break;
    default: throw FFmpegException("invalid codec_type of output stream");
    }
}

// The picture the scaler or the padding writes into, in the encoder's format and size.
void AllocateWorkPicture(TOutputStream& ost)
{
    const AVCodecContext* codec = ost.Encoder;
    ost.WorkPicture.reset(av::av_frame_alloc());
    if (ost.WorkPicture) {
        ost.WorkPicture->format = codec->pix_fmt;
        ost.WorkPicture->width = codec->width;
        ost.WorkPicture->height = codec->height;
    }
    if (!ost.WorkPicture || av::av_frame_get_buffer(ost.WorkPicture.get(), 0) < 0)
        throw FFmpegException(ost.ScaleNeeded ? "Cannot allocate temp picture, check pix fmt" : "avpicture_alloc fail");
}

void CreateScaler(TCustomFFmpeg& task, TOutputStream& ost, const TPictureShape& icodec)
{
    const AVCodecContext* codec = ost.Encoder;
    task.ScaleFlags = static_cast<int>(task.ChosenScaleFlags());
    // A damaged stream may leave its pixel format unknown to the analysis, and the
    // scaler library aborts on an unknown format: such a stream gets its scaler with
    // its first picture.
    if (!av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(icodec.PixelFormat))) return;
    ost.Scaler.reset(av::sws_getContext(icodec.Width - task.CropLeft - task.CropRight,
                                        icodec.Height - task.CropTop - task.CropBottom,
                                        static_cast<AVPixelFormat>(icodec.PixelFormat),
                                        codec->width - task.PadLeft - task.PadRight,
                                        codec->height - task.PadTop - task.PadBottom, codec->pix_fmt, task.ScaleFlags,
                                        nullptr, nullptr, nullptr));
    if (!ost.Scaler) throw FFmpegException("Cannot get resampling context");
}

// Crop, pad and scale of a re-encoded video stream, and its filter graph.
void SetVideoEncodeParameters(TCustomFFmpeg& task, TOutputStream& ost, TInputStream& ist)
{
    const AVCodecContext* codec = ost.Encoder;
    // Crop, pad and scale work on the pictures as the correction leaves them.
    const bool letterbox = transcode::LetterboxWhereShapeIsLost(task, ost);
    transcode::SetupPictureCorrection(task, ist, ost);
    const TPictureShape source = transcode::DecodedShape(ist);
    ost.CropActive = task.CropLeft + task.CropRight + task.CropTop + task.CropBottom != 0;
    ost.PadActive = letterbox || task.PadLeft + task.PadRight + task.PadTop + task.PadBottom != 0;
    ost.ScaleNeeded =
        letterbox ||
        codec->width != source.Width - task.CropLeft - task.CropRight + task.PadLeft + task.PadRight ||
        codec->height != source.Height - task.CropTop - task.CropBottom + task.PadTop + task.PadBottom ||
        codec->pix_fmt != source.PixelFormat;
    if (ost.CropActive) {
        ost.CropTopBand = task.CropTop;
        ost.CropLeftBand = task.CropLeft;
    }
    if (ost.PadActive && !letterbox) {
        ost.PadTopBand = task.PadTop;
        ost.PadBottomBand = task.PadBottom;
        ost.PadLeftBand = task.PadLeft;
        ost.PadRightBand = task.PadRight;
    }
    if (ost.PadActive || ost.ScaleNeeded) AllocateWorkPicture(ost);
    if (ost.ScaleNeeded && !task.UseVideoFilters) CreateScaler(task, ost, source);
    ost.ScaleSourceRows = task.UseVideoFilters ? source.Height : source.Height - task.CropTop - task.CropBottom;
    if (task.UseVideoFilters) BuildFilterGraph(task, ist, ost);
}

void SetEncodeParameters(TCustomFFmpeg& task, TOutputStream& ost, TInputStream& ist)
{
    switch (ost.Encoder->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
        ost.ResampleNeeded = ost.Encoder->sample_rate != ist.Stream->codecpar->sample_rate || task.AudioSyncMethod >= 2;
        break;
    case AVMEDIA_TYPE_VIDEO: SetVideoEncodeParameters(task, ost, ist); break;
    case AVMEDIA_TYPE_SUBTITLE: break;
    default: throw FFmpegException("invalid codec_type of output stream");
    }
    ost.NeedsEncoding = 1;
    ist.NeedsDecoding = 1;
}

void SetStreamParameters(TCustomFFmpeg& task, TTranscodeRun& run)
{
    for (auto& ostPtr : run.OutputStreamTable) {
        TOutputStream& ost = *ostPtr;
        TInputStream& ist = *run.InputStreamTable[ost.SourceIndex];
        KeepTrackTags(ist.Stream, ost.Stream, task.OutputFiles[ost.FileIndex]->oformat);
        ost.Stream->disposition = ist.Stream->disposition;
        if (task.OutputStreams[ost.FileIndex][ost.StreamIndex].StreamCopy) SetCopyParameters(task, ost, ist);
        else SetEncodeParameters(task, ost, ist);
    }
}

// Only checks that the file can be written: the encoder writes it.
void CheckWritable(const std::string& name)
{
    media::StdioFileHandle file(av::my_fopen(name.c_str(), "w"));
    if (!file) throw FFmpegException(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
}

// The statistics of the first pass, as the encoder's input for the second.
void ReadPassStatistics(AVCodecContext* codec, const std::string& name)
{
    media::StdioFileHandle file(av::my_fopen(name.c_str(), "r"));
    if (!file) throw FFmpegException(Format("Cannot read log file %s for pass-2 encoding", name.c_str()));
    av::my_fseek(file.get(), 0, SEEK_END);
    const long size = av::my_ftell(file.get());
    av::my_fseek(file.get(), 0, SEEK_SET);
    media::AvMemoryHandle<char> buffer(size >= 0 ? static_cast<char*>(av::av_malloc(size + 1)) : nullptr);
    if (!buffer) throw FFmpegException("Could not allocate log buffer");
    const std::size_t got = av::my_fread(buffer.get(), 1, size, file.get());
    buffer.get()[got] = 0;
    // The statistics text belongs to the user of the codec context, not to the library.
    av::av_freep(&codec->stats_in);
    codec->stats_in = buffer.release();
}

void OpenTwoPassFile(TCustomFFmpeg& task, TOutputStream& ost, int index)
{
    AVCodecContext* codec = ost.Encoder;
    std::string name = (task.PassLogFileName.empty() ? std::string("ffmpeg2pass") : task.PassLogFileName) + "-" +
                       std::to_string(index) + ".log";
    if (name.size() >= 1024) name.resize(1023);
    // An encoder that keeps its own statistics file (libx264) is given the same name,
    // so that its files are found where every other encoder's are.
    const bool ownFile = codec->priv_data && av::av_opt_find(codec->priv_data, "stats", nullptr, 0, 0) &&
                         av::av_opt_set(codec->priv_data, "stats", name.c_str(), 0) >= 0;
    if (ownFile && (codec->flags & AV_CODEC_FLAG_PASS1)) {
        CheckWritable(name);
    } else if (codec->flags & AV_CODEC_FLAG_PASS1) {
        ost.PassLogFile.reset(av::my_fopen(name.c_str(), "w"));
        if (!ost.PassLogFile) throw FFmpegException(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
    } else {
        ReadPassStatistics(codec, name);
    }
}

void OpenTwoPassFiles(TCustomFFmpeg& task, TTranscodeRun& run)
{
    for (std::size_t i = 0; i < run.OutputStreamTable.size(); ++i) {
        TOutputStream& ost = *run.OutputStreamTable[i];
        if (ost.NeedsEncoding && (ost.Encoder->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)))
            OpenTwoPassFile(task, ost, static_cast<int>(i));
    }
}

void LogStreamMapping(TCustomFFmpeg& task, const TTranscodeRun& run)
{
    for (int f = 0; f < task.OutputFileCount; ++f)
        av::av_dump_format(task.OutputFiles[f], f, task.OutputFiles[f]->url, 1);
    if (task.Verbose == llQuiet || !task.LogHandler) return;
    task.Log(llInfo, "Stream mapping:");
    for (const auto& ost : run.OutputStreamTable) {
        const TInputStream& ist = *run.InputStreamTable[ost->SourceIndex];
        task.Log(llInfo, Format("  Stream #%d.%d -> #%d.%d", ist.FileIndex, ist.StreamIndex, ost->FileIndex, ost->StreamIndex));
        if (ost->SyncInput != &ist)
            task.Log(llInfo, Format(" [sync #%d.%d]", ost->SyncInput->FileIndex, ost->SyncInput->StreamIndex));
    }
}

// Opens a codec with the private options given; false when the library refuses.
bool OpenCodec(TCustomFFmpeg& task, AVCodecContext* ctx, const AVCodec* codec)
{
    std::lock_guard lock(media::CodecLock());
    AVDictionary* own = task.PrivateOptionsForOpen();
    const int r = av::avcodec_open2(ctx, codec, &own);
    task.NotePrivateOptionsTaken(own);
    return r >= 0;
}

const AVCodec* EncoderOf(const TCustomFFmpeg& task, const TOutputStream& ost, std::size_t index)
{
    const AVCodec* codec = task.OutputStreams[ost.FileIndex][ost.StreamIndex].Encoder;
    if (!codec && index < task.ForcedEncoders.size()) codec = task.ForcedEncoders[index];
    if (!codec) codec = av::avcodec_find_encoder(ost.Encoder->codec_id);
    if (!codec)
        throw FFmpegException(Format("Unsupported codec for output stream #%d.%d", ost.FileIndex, ost.StreamIndex));
    return codec;
}

// What the audio path needs of an opened encoder: its FIFO, its frame, its start delay.
void PrepareAudioEncoder(TCustomFFmpeg& task, TOutputStream& ost)
{
    const AVCodecContext* enc = ost.Encoder;
    ost.SampleFifo.reset(av::av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024));
    ost.AudioFrame.reset(av::av_frame_alloc());
    if (!ost.SampleFifo || !ost.AudioFrame) throw FFmpegException("av_fifo_init fail");
    // A container that cannot tell the decoder to skip the encoder's start delay plays
    // it: next to pictures the sound then begins after it, in step with them.
    const AVFormatContext* oc = task.OutputFiles[ost.FileIndex];
    if (!(oc->oformat->flags & AVFMT_TS_NEGATIVE) && HasVideo(oc)) ost.StartDelay = std::max(enc->initial_padding, 0);
    ost.OutputTicks = ost.StartDelay;
    if (task.RecordingTime != INT64_MAX)
        ost.SampleLimit = av::av_rescale(task.RecordingTime, enc->sample_rate, AV_TIME_BASE);
}

void OpenEncoder(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, std::size_t index, int threads)
{
    AVCodecContext* enc = ost.Encoder;
    const AVCodec* codec = EncoderOf(task, ost, index);
    if (threads != 1 && enc->thread_count <= 1) enc->thread_count = threads;
    if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE) {
        if (!enc->subtitle_header) CopySubtitleHeader(enc, *run.InputStreamTable[ost.SourceIndex]);
        // Today's subtitle encoders refuse to open without a time base.
        if (enc->time_base.num <= 0 || enc->time_base.den <= 0) enc->time_base = AV_TIME_BASE_Q;
    }
    if (!OpenCodec(task, enc, codec))
        throw FFmpegException(Format("Error while opening codec for output stream #%d.%d - maybe incorrect "
                                     "parameters such as bit_rate, rate, width or height",
                                     ost.FileIndex, ost.StreamIndex));
    task.OpenEncoders.push_back(enc);
    task.HeaderBytes += enc->extradata_size;
    if (av::avcodec_parameters_from_context(ost.Stream->codecpar, enc) < 0) throw FFmpegException("av_mallocz fail");
    ost.Stream->time_base = enc->time_base;
    if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
        ost.Stream->avg_frame_rate = av_inv_q(enc->time_base);
        ost.FixedRate = FixedRate(task, ost, *run.InputStreamTable[ost.SourceIndex]);
        if (ost.FixedRate && !(ost.HeldPicture = media::FrameHandle(av::av_frame_alloc())))
            throw FFmpegException("av_malloc fail");
    }
    if (enc->codec_type == AVMEDIA_TYPE_AUDIO) PrepareAudioEncoder(task, ost);
}

void OpenEncoders(TCustomFFmpeg& task, TTranscodeRun& run)
{
    const int threads = task.CodecThreads();
    for (std::size_t i = 0; i < run.OutputStreamTable.size(); ++i)
        if (run.OutputStreamTable[i]->NeedsEncoding) OpenEncoder(task, run, *run.OutputStreamTable[i], i, threads);
}

void OpenDecoder(TCustomFFmpeg& task, TInputStream& ist, int threads)
{
    const AVCodecParameters* par = ist.Stream->codecpar;
    // The context made with the file carries the decoding options and the forced
    // decoder; the run takes it over.
    media::CodecContextHandle dec;
    if (ist.StreamIndex < static_cast<int>(task.InputCodecs[ist.FileIndex].size()))
        dec.reset(task.InputCodecs[ist.FileIndex][ist.StreamIndex].release());
    const AVCodec* codec = dec && dec->codec ? dec->codec : av::avcodec_find_decoder(par->codec_id);
    if (!codec)
        throw FFmpegException(Format("Unsupported codec (id=%d) for input stream #%d.%d", par->codec_id, ist.FileIndex,
                                     ist.StreamIndex));
    if (!dec) {
        dec.reset(av::avcodec_alloc_context3(codec));
        if (!dec || av::avcodec_parameters_to_context(dec.get(), par) < 0) throw FFmpegException("av_mallocz fail");
    }
    dec->pkt_timebase = ist.Stream->time_base;
    if (threads != 1 && dec->thread_count <= 1) dec->thread_count = threads;
    if (!OpenCodec(task, dec.get(), codec))
        throw FFmpegException(Format("Error while opening codec for input stream #%d.%d", ist.FileIndex, ist.StreamIndex));
    ist.Decoder = dec.get();
    task.OpenDecoders.push_back(std::move(dec));
    // AVI stores pictures in decoding order with no presentation times.
    ist.DecodeOrderOnly = par->codec_type == AVMEDIA_TYPE_VIDEO &&
                          std::strcmp(task.InputFiles[ist.FileIndex]->iformat->name, "avi") == 0;
}

void OpenDecoders(TCustomFFmpeg& task, TTranscodeRun& run)
{
    const int threads = task.CodecThreads();
    for (auto& ist : run.InputStreamTable)
        if (ist->NeedsDecoding) OpenDecoder(task, *ist, threads);
    for (auto& ist : run.InputStreamTable) {
        ist->Pts = 0;
        ist->NextPts = AV_NOPTS_VALUE;
        ist->StartPending = 1;
    }
}

void MapMetadata(TCustomFFmpeg& task)
{
    for (int m = 0; m < task.MetaDataMapCount; ++m) {
        const TMetaDataMap& map = task.MetaDataMaps[m];
        if (map.OutFile < 0 || map.OutFile >= task.OutputFileCount)
            throw FFmpegException(Format("Invalid output file index %d map_meta_data(%d,%d)", map.OutFile, map.OutFile,
                                         map.InFile));
        if (map.InFile < 0 || map.InFile >= task.InputFileCount)
            throw FFmpegException(Format("Invalid input file index %d map_meta_data(%d,%d)", map.InFile, map.OutFile,
                                         map.InFile));
        const AVDictionaryEntry* tag = nullptr;
        while ((tag = av::av_dict_get(task.InputFiles[map.InFile]->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)))
            av::av_dict_set(&task.OutputFiles[map.OutFile]->metadata, tag->key, tag->value, 0);
    }
    if (task.MetaDataMapCount == 0 && task.InputFileCount > 0)
        for (int f = 0; f < task.OutputFileCount; ++f) {
            KeepSourceTags(task.InputFiles[0]->metadata, &task.OutputFiles[f]->metadata);
            KeepCreationDate(task.InputFiles[0]->metadata, &task.OutputFiles[f]->metadata, task.RecTimestampIsNow);
            KeepChapters(task.InputFiles[0], task.OutputFiles[f], task.InputTimeOffsets[0] - task.StartTime,
                         task.RecordingTime);
        }
}

void AddBitstreamFilter(TOutputStream& ost, const TBitstreamFilterEntry& entry)
{
    const AVBitStreamFilter* filter = av::av_bsf_get_by_name(entry.Name.c_str());
    if (!filter) throw FFmpegException(Format("Unknown bitstream filter %s", entry.Name.c_str()));
    AVBSFContext* made = nullptr;
    if (av::av_bsf_alloc(filter, &made) < 0) throw FFmpegException("av_mallocz fail");
    ost.Filters.emplace_back(made);
    const AVCodecParameters* in =
        ost.Filters.size() > 1 ? ost.Filters[ost.Filters.size() - 2]->par_out : ost.Stream->codecpar;
    av::avcodec_parameters_copy(made->par_in, in);
    made->time_base_in = ost.Stream->time_base;
    if (av::av_bsf_init(made) < 0)
        throw FFmpegException(Format("%s failed for stream %d, codec %s", entry.Name.c_str(), ost.StreamIndex,
                                     ost.NeedsEncoding && ost.Encoder->codec ? ost.Encoder->codec->name : "copy"));
}

// Before the headers: the filters may change the stream parameters.
void InitBitstreamFilters(TCustomFFmpeg& task, TTranscodeRun& run)
{
    for (auto& ost : run.OutputStreamTable) {
        if (ost->StreamIndex >= MaxStreams) continue;
        for (const TBitstreamFilterEntry& entry : task.BitstreamFilterTable[ost->FileIndex][ost->StreamIndex])
            AddBitstreamFilter(*ost, entry);
        if (!ost->Filters.empty()) av::avcodec_parameters_copy(ost->Stream->codecpar, ost->Filters.back()->par_out);
    }
}

void LogSessionDescription(TCustomFFmpeg& task)
{
    char sdp[2048] = {};
    std::vector<AVFormatContext*> files(task.OutputFiles.begin(), task.OutputFiles.begin() + task.OutputFileCount);
    av::av_sdp_create(files.data(), task.OutputFileCount, sdp, sizeof sdp);
    std::string text(sdp);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
    task.Log(llInfo, "SDP: " + text);
}

void WriteHeaders(TCustomFFmpeg& task)
{
    bool allRtp = task.OutputFileCount > 0;
    for (int f = 0; f < task.OutputFileCount; ++f) {
        const int coverStream = AddCoverArt(task, task.OutputFiles[f]);
        AVDictionary* own = task.PrivateOptionsForOpen();
        const int written = av::avformat_write_header(task.OutputFiles[f], &own);
        task.NotePrivateOptionsTaken(own);
        if (written < 0)
            throw FFmpegException(transcode::WriteFailureText(
                task.OutputFiles[f], Format("Could not write header for output file #%d (incorrect codec parameters ?)", f)));
        WriteCoverArt(task, task.OutputFiles[f], coverStream);
        if (std::string(task.OutputFiles[f]->oformat->name) != "rtp") allRtp = false;
    }
    task.WarnUntakenPrivateOptions();
    if (allRtp && task.LogHandler) LogSessionDescription(task);
}

void AllocateWorkRecords(TCustomFFmpeg& task, TTranscodeRun& run)
{
    run.Packet.reset(av::av_packet_alloc());
    run.OutPacket.reset(av::av_packet_alloc());
    run.Picture.reset(av::av_frame_alloc());
    run.SendFrame.reset(av::av_frame_alloc());
    if (!run.Packet || !run.OutPacket || !run.Picture || !run.SendFrame) throw FFmpegException("av_malloc fail");
    task.RunStartTime = av::av_gettime();
    run.LastReportTime = task.RunStartTime;
}

}  // namespace
}  // namespace setup

void TCustomFFmpeg::TranscodeSetup()
{
    TranscodeCleanup();
    RunTables = std::make_unique<TTranscodeRun>();
    TTranscodeRun& run = *RunTables;
    try {
        setup::BuildInputTables(*this, run);
        setup::MapStreams(*this, run);
        setup::SetStreamParameters(*this, run);
        setup::OpenTwoPassFiles(*this, run);
        setup::LogStreamMapping(*this, run);
        setup::OpenEncoders(*this, run);
        setup::OpenDecoders(*this, run);
        setup::MapMetadata(*this);
        setup::InitBitstreamFilters(*this, run);
        setup::WriteHeaders(*this);
        setup::AllocateWorkRecords(*this, run);
    } catch (...) {
        TranscodeCleanup();
        throw;
    }
}

void TCustomFFmpeg::Transcode()
{
    TranscodeSetup();
    TranscodeLoop();
}

void TCustomFFmpeg::TranscodeCleanup()
{
    RunTables.reset();
    // The preview window goes with the run; it is freed outside the lock because
    // freeing it waits for the user-interface thread.
    std::unique_ptr<media::TFramePreview> window;
    {
        auto lock = platform::IsUiThread() ? LockPreviewFromUi() : std::unique_lock(PreviewLock());
        window = std::move(PreviewWindow);
    }
}

void TCustomFFmpeg::CloseOpenCodecs()
{
    // Encoder contexts belong to their output streams' setup records and are freed with
    // them; what an error left open is only closed here.
    for (AVCodecContext* enc : OpenEncoders) {
        av::av_freep(&enc->stats_in);
        std::lock_guard lock(media::CodecLock());
        av::avcodec_close(enc);
    }
    OpenEncoders.clear();
    std::lock_guard lock(media::CodecLock());
    OpenDecoders.clear();
}

void TCustomFFmpeg::CleanupTask()
{
    if (!media::FFLoader.LibsLoaded(media::EngineLibraries)) return;
    // The run's tables refer to the codecs and files released below.
    TranscodeCleanup();
    CloseOpenCodecs();
    std::vector<std::string> written;
    for (int f = 0; f < OutputFileCount; ++f) {
        const AVFormatContext* oc = OutputFiles[f];
        // Only files that were opened: an output that was merely checked created none.
        if (oc && oc->url && oc->pb && oc->oformat && !(oc->oformat->flags & AVFMT_NOFILE)) written.emplace_back(oc->url);
    }
    ReleaseFiles();
    // An output that got nothing is not left behind.
    for (const std::string& name : written)
        if (media::GetFileSizeByName(name) == 0) std::remove(name.c_str());
    ReleaseOptionResources();
}

}  // namespace kv::engine
