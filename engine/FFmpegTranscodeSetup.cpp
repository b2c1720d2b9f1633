// The transcode from its call to the moment before the first packet is read: the
// run's tables, stream mapping, stream parameters, codecs, metadata and headers;
// and what releases a run's and a task's resources afterwards.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/FFmpegStreams.h"
#include "engine/PreviewLock.h"
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



// ---------------------------------------------------------------------------
// Run tables

TInputStream::~TInputStream()
{
    av::av_frame_free(&FilteredPicture);
    av::avfilter_graph_free(&FilterGraph);
}

TOutputStream::~TOutputStream()
{
    if (PassLogFile) av::my_fclose(PassLogFile);
    av::av_frame_free(&WorkPicture);
    av::av_frame_free(&HeldPicture);
    av::av_frame_free(&AudioFrame);
    if (Scaler) av::sws_freeContext(Scaler);
    av::swr_free(&Resampler);
    if (SampleFifo) av::av_audio_fifo_free(SampleFifo);
    av::av_free(ResampleData);
    for (AVBSFContext*& f : Filters) av::av_bsf_free(&f);
}

TTranscodeRun::~TTranscodeRun()
{
    av::av_packet_free(&Packet);
    av::av_packet_free(&OutPacket);
    av::av_frame_free(&Picture);
    av::av_frame_free(&SendFrame);
    av::avsubtitle_free(&Subtitle);
}

int TCustomFFmpeg::CodecThreads() const
{
    if (CodecThreadCount > 1) return CodecThreadCount;
    return TaskThreadCount >= 0 ? TaskThreadCount : 1;
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

int BuildFilterGraph(TCustomFFmpeg& task, TInputStream& ist, TOutputStream& ost)
{
    AVCodecContext* codec = ost.Encoder;
    const TPictureShape icodec = transcode::DecodedShape(ist);
    if (task.CropLeft + task.CropRight + task.CropTop + task.CropBottom != 0) {
        task.LastErrorMessage = "Cannot enable crop options and filters at the same time.";
        return -1;
    }
    ist.FilterGraph = av::avfilter_graph_alloc();
    if (!ist.FilterGraph) return -1;
    const std::int64_t swsFlags = [&] {
        std::int64_t flags = task.ScaleFlags;
        if (task.OptionContext) av::av_opt_get_int(task.OptionContext->ScalerSet, "sws_flags", 0, &flags);
        return flags;
    }();
    const AVRational sar = icodec.SampleAspect;
    const std::string sourceArgs =
        Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", icodec.Width, icodec.Height,
               icodec.PixelFormat, AV_TIME_BASE, sar.num, sar.num ? sar.den : 1);
    if (av::avfilter_graph_create_filter(&ist.FilterSource, av::avfilter_get_by_name("buffer"), "src",
                                         sourceArgs.c_str(), nullptr, ist.FilterGraph) < 0)
        return -1;
    ist.FilterSink = av::avfilter_graph_alloc_filter(ist.FilterGraph, av::avfilter_get_by_name("buffersink"), "out");
    if (!ist.FilterSink) return -1;
    const int pixFmts[] = {codec->pix_fmt, AV_PIX_FMT_NONE};
    if (av::av_opt_set_bin(ist.FilterSink, "pix_fmts", reinterpret_cast<const std::uint8_t*>(pixFmts),
                           sizeof(int), AV_OPT_SEARCH_CHILDREN) < 0 ||
        av::avfilter_init_str(ist.FilterSink, nullptr) < 0)
        return -1;
    AVFilterContext* last = ist.FilterSource;
    if (icodec.Width + task.PadLeft + task.PadRight != codec->width ||
        icodec.Height + task.PadTop + task.PadBottom != codec->height) {
        AVFilterContext* scale = nullptr;
        const std::string args = Format("%d:%d:flags=%lld", codec->width - task.PadLeft - task.PadRight,
                                        codec->height - task.PadTop - task.PadBottom,
                                        static_cast<long long>(swsFlags));
        if (av::avfilter_graph_create_filter(&scale, av::avfilter_get_by_name("scale"), "scale", args.c_str(),
                                             nullptr, ist.FilterGraph) < 0 ||
            av::avfilter_link(last, 0, scale, 0) < 0)
            return -1;
        last = scale;
    }
    if (!task.VideoFilters.empty()) {
        AVFilterInOut* outputs = av::avfilter_inout_alloc();
        AVFilterInOut* inputs = av::avfilter_inout_alloc();
        if (!outputs || !inputs) {
            av::avfilter_inout_free(&outputs);
            av::avfilter_inout_free(&inputs);
            return -1;
        }
        outputs->name = av::av_strdup("in");
        outputs->filter_ctx = last;
        outputs->pad_idx = 0;
        inputs->name = av::av_strdup("out");
        inputs->filter_ctx = ist.FilterSink;
        inputs->pad_idx = 0;
        const int r = av::avfilter_graph_parse_ptr(ist.FilterGraph, task.VideoFilters.c_str(), &inputs, &outputs,
                                                   nullptr);
        av::avfilter_inout_free(&outputs);
        av::avfilter_inout_free(&inputs);
        if (r < 0) return -1;
    } else if (av::avfilter_link(last, 0, ist.FilterSink, 0) < 0) {
        return -1;
    }
    ist.FilterGraph->scale_sws_opts = av::av_strdup(Format("flags=%lld", static_cast<long long>(swsFlags)).c_str());
    if (av::avfilter_graph_config(ist.FilterGraph, nullptr) < 0) return -1;
    const int w = av::av_buffersink_get_w(ist.FilterSink);
    const int h = av::av_buffersink_get_h(ist.FilterSink);
    if (task.PadLeft + task.PadRight + task.PadTop + task.PadBottom == 0 ||
        (w == task.FrameWidth && h == task.FrameHeight)) {
        codec->width = w + task.PadLeft + task.PadRight;
        codec->height = h + task.PadTop + task.PadBottom;
        ist.FilteredPicture = av::av_frame_alloc();
        return ist.FilteredPicture ? 0 : -1;
    }
    task.LastErrorMessage = "Cannot enable pad options and the filters which resize frame at the same time. "
                            "(crop, rotate, scale, transpose, etc.)";
    return -1;
}

// Text subtitle encoders need the style header that the input's decoder makes when
// it opens; the decoders open after the encoders, so a decoder is opened for it here.
void CopySubtitleHeader(AVCodecContext* enc, const TInputStream& ist)
{
    const AVCodec* codec = av::avcodec_find_decoder(ist.Stream->codecpar->codec_id);
    AVCodecContext* dec = codec ? av::avcodec_alloc_context3(codec) : nullptr;
    if (!dec) return;
    if (av::avcodec_parameters_to_context(dec, ist.Stream->codecpar) >= 0) {
        int r;
        {
            std::lock_guard lock(media::CodecLock());
            r = av::avcodec_open2(dec, codec, nullptr);
        }
        if (r >= 0 && dec->subtitle_header && dec->subtitle_header_size > 0) {
            enc->subtitle_header = static_cast<std::uint8_t*>(av::av_mallocz(dec->subtitle_header_size + 1));
            if (enc->subtitle_header) {
                std::memcpy(enc->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
                enc->subtitle_header_size = dec->subtitle_header_size;
            }
        }
    }
    std::lock_guard lock(media::CodecLock());
    av::avcodec_free_context(&dec);
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
// Setup

void TCustomFFmpeg::TranscodeSetup()
{
    TranscodeCleanup();
    RunTables = new TTranscodeRun;
    TTranscodeRun& run = *RunTables;
    try {
        // Input tables.
        int streamCount = 0;
        run.InputFileTable.resize(InputFileCount);
        for (int f = 0; f < InputFileCount; ++f) {
            run.InputFileTable[f].FirstStreamIndex = streamCount;
            run.InputFileTable[f].FileStreamCount = static_cast<int>(InputFiles[f]->nb_streams);
            streamCount += static_cast<int>(InputFiles[f]->nb_streams);
        }
        for (int f = 0; f < InputFileCount; ++f) {
            for (unsigned s = 0; s < InputFiles[f]->nb_streams; ++s) {
                auto ist = std::make_unique<TInputStream>();
                ist->Stream = InputFiles[f]->streams[s];
                ist->FileIndex = f;
                ist->StreamIndex = static_cast<int>(s);
                if (RateEmu) ist->WallStart = av::av_gettime();
                run.InputStreamTable.push_back(std::move(ist));
            }
        }

        // Output count.
        int outputCount = 0;
        for (int f = 0; f < OutputFileCount; ++f) {
            if (OutputFiles[f]->nb_streams == 0)
                FailWithDump(OutputFiles[f], f, Format("Output file #%d does not contain any stream", f));
            outputCount += static_cast<int>(OutputFiles[f]->nb_streams);
        }

        // Stream maps.
        if (StreamMapCount > 0 && StreamMapCount != outputCount)
            throw FFmpegException("Number of stream maps must match number of output streams");
        for (int m = 0; m < StreamMapCount; ++m) {
            const TStreamMap& map = StreamMaps[m];
            if (!ValidStream(run.InputFileTable, map.FileIndex, map.StreamIndex))
                throw FFmpegException(Format("Could not find input stream #%d.%d", map.FileIndex, map.StreamIndex));
            if (!ValidStream(run.InputFileTable, map.SyncFileIndex, map.SyncStreamIndex))
                throw FFmpegException(
                    Format("Could not find sync stream #%d.%d", map.SyncFileIndex, map.SyncStreamIndex));
        }

        // Output table and the source of every output stream.
        int n = 0;
        for (int f = 0; f < OutputFileCount; ++f) {
            AVFormatContext* oc = OutputFiles[f];
            for (unsigned s = 0; s < oc->nb_streams; ++s, ++n) {
                auto ost = std::make_unique<TOutputStream>();
                ost->FileIndex = f;
                ost->StreamIndex = static_cast<int>(s);
                ost->Stream = oc->streams[s];
                if (s < OutputStreams[f].size()) ost->Encoder = OutputStreams[f][s].Codec;
                if (!ost->Encoder) FailWithDump(oc, f, Format("Output stream #%d.%d has no codec context", f, s));
                const AVMediaType type = ost->Encoder->codec_type;
                int source = -1;
                if (StreamMapCount > 0) {
                    const TStreamMap& map = StreamMaps[n];
                    source = run.InputFileTable[map.FileIndex].FirstStreamIndex + map.StreamIndex;
                    if (run.InputStreamTable[source]->Stream->codecpar->codec_type != type)
                        FailWithDump(oc, f,
                                     Format("Codec type mismatch for mapping #%d.%d -> #%d.%d", map.FileIndex,
                                            map.StreamIndex, f, s));
                } else {
                    if (ProgramID != 0) {
                        for (int i = 0; i < InputFileCount && source < 0; ++i) {
                            AVFormatContext* ic = InputFiles[i];
                            for (unsigned p = 0; p < ic->nb_programs && source < 0; ++p) {
                                if (ic->programs[p]->id != ProgramID) continue;
                                for (unsigned k = 0; k < ic->programs[p]->nb_stream_indexes; ++k) {
                                    const int idx = run.InputFileTable[i].FirstStreamIndex +
                                                    static_cast<int>(ic->programs[p]->stream_index[k]);
                                    const TInputStream& cand = *run.InputStreamTable[idx];
                                    if (cand.Unmapped && cand.Stream->codecpar->codec_type == type) {
                                        source = idx;
                                        break;
                                    }
                                }
                            }
                        }
                    } else {
                        for (int i = 0; i < streamCount; ++i) {
                            const TInputStream& cand = *run.InputStreamTable[i];
                            if (cand.Unmapped && cand.Stream->codecpar->codec_type == type) {
                                source = i;
                                break;
                            }
                        }
                        if (source < 0) {
                            for (int i = streamCount - 1; i >= 0; --i) {
                                if (run.InputStreamTable[i]->Stream->codecpar->codec_type == type) {
                                    source = i;
                                    break;
                                }
                            }
                        }
                    }
                    if (source < 0)
                        FailWithDump(oc, f, Format("Could not find input stream matching output stream #%d.%d", f, s));
                }
                ost->SourceIndex = source;
                run.InputStreamTable[source]->Unmapped = 0;
                if (StreamMapCount > 0) {
                    const TStreamMap& map = StreamMaps[n];
                    ost->SyncInput =
                        run.InputStreamTable[run.InputFileTable[map.SyncFileIndex].FirstStreamIndex +
                                             map.SyncStreamIndex]
                            .get();
                } else {
                    ost->SyncInput = run.InputStreamTable[source].get();
                }
                run.OutputStreamTable.push_back(std::move(ost));
            }
        }

        // Stream parameters.
        for (int i = 0; i < outputCount; ++i) {
            TOutputStream& ost = *run.OutputStreamTable[i];
            TInputStream& ist = *run.InputStreamTable[ost.SourceIndex];
            AVFormatContext* oc = OutputFiles[ost.FileIndex];
            AVCodecContext* codec = ost.Encoder;
            const AVCodecParameters* icodec = ist.Stream->codecpar;
            if (const AVDictionaryEntry* lang = av::av_dict_get(ist.Stream->metadata, "language", nullptr, 0);
                lang && !av::av_dict_get(ost.Stream->metadata, "language", nullptr, 0))
                av::av_dict_set(&ost.Stream->metadata, "language", lang->value, 0);
            ost.Stream->disposition = ist.Stream->disposition;

            const bool copy = OutputStreams[ost.FileIndex][ost.StreamIndex].StreamCopy;
            if (copy) {
                AVCodecParameters* par = ost.Stream->codecpar;
                const std::uint32_t forcedTag = codec->codec_tag;
                if (av::avcodec_parameters_copy(par, icodec) < 0) throw FFmpegException("av_mallocz fail");
                par->codec_tag = forcedTag ? forcedTag : CopiedCodecTag(oc->oformat, icodec);
                ost.CopyTimeBase = CopyTimeBase(ist.Stream);
                ost.Stream->time_base = ost.CopyTimeBase;
                switch (icodec->codec_type) {
                case AVMEDIA_TYPE_VIDEO:
                    if (CustomHookHandler)
                        throw FFmpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
                    if (UsingVHook)
                        throw FFmpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
                    if (PreviewFlags != 0)
                        throw FFmpegException("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
                    ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
                    ost.Stream->r_frame_rate = ist.Stream->r_frame_rate;
                    if (ost.Stream->sample_aspect_ratio.num == 0)
                        ost.Stream->sample_aspect_ratio = ist.Stream->sample_aspect_ratio;
                    transcode::KeepDisplayMatrix(ist.Stream, ost.Stream);
                    break;
                case AVMEDIA_TYPE_AUDIO:
                    if (AudioVolume != 256)
                        throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
                    if ((par->block_align == 1 && par->codec_id == AV_CODEC_ID_MP3) ||
                        par->codec_id == AV_CODEC_ID_AC3)
                        par->block_align = 0;
                    break;
                case AVMEDIA_TYPE_SUBTITLE: break;
                default: throw FFmpegException("invalid codec_type of output stream");
                }
            } else {
                switch (codec->codec_type) {
                case AVMEDIA_TYPE_AUDIO:
                    ost.ResampleNeeded = codec->sample_rate != icodec->sample_rate || AudioSyncMethod >= 2;
                    ost.NeedsEncoding = 1;
                    ist.NeedsDecoding = 1;
                    break;
                case AVMEDIA_TYPE_VIDEO: {
                    // Crop, pad and scale work on the pictures as the correction leaves them.
                    const bool letterbox = transcode::LetterboxWhereShapeIsLost(*this, ost);
                    transcode::SetupPictureCorrection(*this, ist, ost);
                    const TPictureShape source = transcode::DecodedShape(ist);
                    ost.CropActive = CropLeft + CropRight + CropTop + CropBottom != 0;
                    ost.PadActive = letterbox || PadLeft + PadRight + PadTop + PadBottom != 0;
                    ost.ScaleNeeded = letterbox ||
                                      codec->width != source.Width - CropLeft - CropRight + PadLeft + PadRight ||
                                      codec->height != source.Height - CropTop - CropBottom + PadTop + PadBottom ||
                                      codec->pix_fmt != source.PixelFormat;
                    if (ost.CropActive) {
                        ost.CropTopBand = CropTop;
                        ost.CropLeftBand = CropLeft;
                    }
                    if (ost.PadActive && !letterbox) {
                        ost.PadTopBand = PadTop;
                        ost.PadBottomBand = PadBottom;
                        ost.PadLeftBand = PadLeft;
                        ost.PadRightBand = PadRight;
                    }
                    if (ost.PadActive || ost.ScaleNeeded) {
                        ost.WorkPicture = av::av_frame_alloc();
                        if (ost.WorkPicture) {
                            ost.WorkPicture->format = codec->pix_fmt;
                            ost.WorkPicture->width = codec->width;
                            ost.WorkPicture->height = codec->height;
                        }
                        if (!ost.WorkPicture || av::av_frame_get_buffer(ost.WorkPicture, 0) < 0)
                            throw FFmpegException(ost.ScaleNeeded ? "Cannot allocate temp picture, check pix fmt"
                                                                  : "avpicture_alloc fail");
                    }
                    if (ost.ScaleNeeded && !UseVideoFilters) {
                        std::int64_t flags = ScaleFlags;
                        if (OptionContext) av::av_opt_get_int(OptionContext->ScalerSet, "sws_flags", 0, &flags);
                        ScaleFlags = static_cast<int>(flags);
                        // A damaged stream may leave its pixel format unknown to the analysis,
                        // and the scaler library aborts on an unknown format: such a stream
                        // gets its scaler with its first picture.
                        if (av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(source.PixelFormat))) {
                            ost.Scaler = av::sws_getContext(source.Width - CropLeft - CropRight,
                                                            source.Height - CropTop - CropBottom,
                                                            static_cast<AVPixelFormat>(source.PixelFormat),
                                                            codec->width - PadLeft - PadRight,
                                                            codec->height - PadTop - PadBottom, codec->pix_fmt,
                                                            ScaleFlags, nullptr, nullptr, nullptr);
                            if (!ost.Scaler) throw FFmpegException("Cannot get resampling context");
                        }
                    }
                    ost.ScaleSourceRows = UseVideoFilters ? source.Height : source.Height - CropTop - CropBottom;
                    ost.NeedsEncoding = 1;
                    ist.NeedsDecoding = 1;
                    LastErrorMessage.clear();
                    if (UseVideoFilters && BuildFilterGraph(*this, ist, ost) != 0)
                        throw FFmpegException(LastErrorMessage.empty() ? std::string("Error opening filters!")
                                                                       : "Error opening filters: " + LastErrorMessage);
                    break;
                }
                case AVMEDIA_TYPE_SUBTITLE:
                    ost.NeedsEncoding = 1;
                    ist.NeedsDecoding = 1;
                    break;
                default: throw FFmpegException("invalid codec_type of output stream");
                }
            }

            // Two-pass statistics.
            if (ost.NeedsEncoding && (codec->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) {
                std::string name = (PassLogFileName.empty() ? std::string("ffmpeg2pass") : PassLogFileName) + "-" +
                                   std::to_string(i) + ".log";
                if (name.size() >= 1024) name.resize(1023);
                // An encoder that keeps its own statistics file (libx264) is given the same
                // name, so that its files are found where every other encoder's are.
                const bool ownFile = codec->priv_data &&
                                     av::av_opt_find(codec->priv_data, "stats", nullptr, 0, 0) &&
                                     av::av_opt_set(codec->priv_data, "stats", name.c_str(), 0) >= 0;
                if (ownFile && (codec->flags & AV_CODEC_FLAG_PASS1)) {
                    // Only checks that the file can be written: the encoder writes it.
                    std::FILE* file = av::my_fopen(name.c_str(), "w");
                    if (!file)
                        throw FFmpegException(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
                    av::my_fclose(file);
                } else if (codec->flags & AV_CODEC_FLAG_PASS1) {
                    ost.PassLogFile = av::my_fopen(name.c_str(), "w");
                    if (!ost.PassLogFile)
                        throw FFmpegException(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
                } else {
                    std::FILE* file = av::my_fopen(name.c_str(), "r");
                    if (!file)
                        throw FFmpegException(Format("Cannot read log file %s for pass-2 encoding", name.c_str()));
                    av::my_fseek(file, 0, SEEK_END);
                    const long size = av::my_ftell(file);
                    av::my_fseek(file, 0, SEEK_SET);
                    char* buffer = size >= 0 ? static_cast<char*>(av::av_malloc(size + 1)) : nullptr;
                    if (!buffer) {
                        av::my_fclose(file);
                        throw FFmpegException("Could not allocate log buffer");
                    }
                    const std::size_t got = av::my_fread(buffer, 1, size, file);
                    av::my_fclose(file);
                    buffer[got] = 0;
                    av::av_freep(&codec->stats_in);
                    codec->stats_in = buffer;
                }
            }
        }

        for (int f = 0; f < OutputFileCount; ++f) av::av_dump_format(OutputFiles[f], f, OutputFiles[f]->url, 1);

        if (Verbose >= 0 && LogHandler) {
            Log(1, "Stream mapping:");
            for (const auto& ost : run.OutputStreamTable) {
                const TInputStream& ist = *run.InputStreamTable[ost->SourceIndex];
                Log(1, Format("  Stream #%d.%d -> #%d.%d", ist.FileIndex, ist.StreamIndex, ost->FileIndex,
                              ost->StreamIndex));
                if (ost->SyncInput != &ist)
                    Log(1, Format(" [sync #%d.%d]", ost->SyncInput->FileIndex, ost->SyncInput->StreamIndex));
            }
        }

        // Encoders.
        const int threads = CodecThreads();
        for (int i = 0; i < outputCount; ++i) {
            TOutputStream& ost = *run.OutputStreamTable[i];
            if (!ost.NeedsEncoding) continue;
            AVCodecContext* enc = ost.Encoder;
            const AVCodec* codec = OutputStreams[ost.FileIndex][ost.StreamIndex].Encoder;
            if (!codec && i < static_cast<int>(ForcedEncoders.size())) codec = ForcedEncoders[i];
            if (!codec) codec = av::avcodec_find_encoder(enc->codec_id);
            if (!codec)
                throw FFmpegException(
                    Format("Unsupported codec for output stream #%d.%d", ost.FileIndex, ost.StreamIndex));
            if (threads != 1 && enc->thread_count <= 1) enc->thread_count = threads;
            if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE) {
                if (!enc->subtitle_header) CopySubtitleHeader(enc, *run.InputStreamTable[ost.SourceIndex]);
                // Today's subtitle encoders refuse to open without a time base.
                if (enc->time_base.num <= 0 || enc->time_base.den <= 0) enc->time_base = AV_TIME_BASE_Q;
            }
            int r;
            {
                std::lock_guard lock(media::CodecLock());
                AVDictionary* own = PrivateOptionsForOpen();
                r = av::avcodec_open2(enc, codec, &own);
                if (r >= 0) OpenEncoders.push_back(enc);
                NotePrivateOptionsTaken(own);
            }
            if (r < 0)
                throw FFmpegException(Format("Error while opening codec for output stream #%d.%d - maybe incorrect "
                                             "parameters such as bit_rate, rate, width or height",
                                             ost.FileIndex, ost.StreamIndex));
            HeaderBytes += enc->extradata_size;
            if (av::avcodec_parameters_from_context(ost.Stream->codecpar, enc) < 0)
                throw FFmpegException("av_mallocz fail");
            ost.Stream->time_base = enc->time_base;
            if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
                ost.Stream->avg_frame_rate = av_inv_q(enc->time_base);
                ost.FixedRate = FixedRate(*this, ost, *run.InputStreamTable[ost.SourceIndex]);
                if (ost.FixedRate && !(ost.HeldPicture = av::av_frame_alloc()))
                    throw FFmpegException("av_malloc fail");
            }
            if (enc->codec_type == AVMEDIA_TYPE_AUDIO) {
                ost.SampleFifo = av::av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024);
                ost.AudioFrame = av::av_frame_alloc();
                if (!ost.SampleFifo || !ost.AudioFrame) throw FFmpegException("av_fifo_init fail");
                // A container that cannot tell the decoder to skip the encoder's start delay
                // plays it: next to pictures the sound then begins after it, in step with them.
                const AVFormatContext* oc = OutputFiles[ost.FileIndex];
                if (!(oc->oformat->flags & AVFMT_TS_NEGATIVE) && HasVideo(oc))
                    ost.StartDelay = std::max(enc->initial_padding, 0);
                ost.OutputTicks = ost.StartDelay;
                if (RecordingTime != INT64_MAX)
                    ost.SampleLimit = av::av_rescale(RecordingTime, enc->sample_rate, AV_TIME_BASE);
            }
        }

        // Decoders.
        for (int i = 0; i < streamCount; ++i) {
            TInputStream& ist = *run.InputStreamTable[i];
            if (!ist.NeedsDecoding) continue;
            const AVCodecParameters* par = ist.Stream->codecpar;
            // The context made with the file carries the decoding options and the forced
            // decoder; the run takes it over.
            AVCodecContext* dec = nullptr;
            if (ist.StreamIndex < static_cast<int>(InputCodecs[ist.FileIndex].size()))
                std::swap(dec, InputCodecs[ist.FileIndex][ist.StreamIndex]);
            const AVCodec* codec = dec && dec->codec ? dec->codec : av::avcodec_find_decoder(par->codec_id);
            if (!codec) {
                av::avcodec_free_context(&dec);
                throw FFmpegException(Format("Unsupported codec (id=%d) for input stream #%d.%d", par->codec_id,
                                             ist.FileIndex, ist.StreamIndex));
            }
            if (!dec) {
                dec = av::avcodec_alloc_context3(codec);
                if (!dec || av::avcodec_parameters_to_context(dec, par) < 0) {
                    av::avcodec_free_context(&dec);
                    throw FFmpegException("av_mallocz fail");
                }
            }
            dec->pkt_timebase = ist.Stream->time_base;
            if (threads != 1 && dec->thread_count <= 1) dec->thread_count = threads;
            int r;
            {
                std::lock_guard lock(media::CodecLock());
                AVDictionary* own = PrivateOptionsForOpen();
                r = av::avcodec_open2(dec, codec, &own);
                if (r >= 0) OpenDecoders.push_back(dec);
                NotePrivateOptionsTaken(own);
            }
            if (r < 0) {
                av::avcodec_free_context(&dec);
                throw FFmpegException(
                    Format("Error while opening codec for input stream #%d.%d", ist.FileIndex, ist.StreamIndex));
            }
            ist.Decoder = dec;
            // AVI stores pictures in decoding order with no presentation times.
            ist.DecodeOrderOnly = par->codec_type == AVMEDIA_TYPE_VIDEO &&
                                  std::strcmp(InputFiles[ist.FileIndex]->iformat->name, "avi") == 0;
        }

        for (auto& ist : run.InputStreamTable) {
            ist->Pts = 0;
            ist->NextPts = AV_NOPTS_VALUE;
            ist->StartPending = 1;
        }

        // Metadata maps.
        for (int m = 0; m < MetaDataMapCount; ++m) {
            const TMetaDataMap& map = MetaDataMaps[m];
            if (map.OutFile < 0 || map.OutFile >= OutputFileCount)
                throw FFmpegException(Format("Invalid output file index %d map_meta_data(%d,%d)", map.OutFile,
                                             map.OutFile, map.InFile));
            if (map.InFile < 0 || map.InFile >= InputFileCount)
                throw FFmpegException(Format("Invalid input file index %d map_meta_data(%d,%d)", map.InFile,
                                             map.OutFile, map.InFile));
            const AVDictionaryEntry* tag = nullptr;
            while ((tag = av::av_dict_get(InputFiles[map.InFile]->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)))
                av::av_dict_set(&OutputFiles[map.OutFile]->metadata, tag->key, tag->value, 0);
        }

        if (MetaDataMapCount == 0 && InputFileCount > 0)
            for (int f = 0; f < OutputFileCount; ++f) KeepSourceTags(InputFiles[0]->metadata, &OutputFiles[f]->metadata);

        // Bit-stream filters, before the headers: they may change the stream parameters.
        for (auto& ost : run.OutputStreamTable) {
            if (ost->StreamIndex >= MaxStreams) continue;
            for (const TBitstreamFilterEntry& entry : BitstreamFilterTable[ost->FileIndex][ost->StreamIndex]) {
                const AVBitStreamFilter* filter = av::av_bsf_get_by_name(entry.Name.c_str());
                if (!filter) throw FFmpegException(Format("Unknown bitstream filter %s", entry.Name.c_str()));
                AVBSFContext* bsf = nullptr;
                if (av::av_bsf_alloc(filter, &bsf) < 0) throw FFmpegException("av_mallocz fail");
                ost->Filters.push_back(bsf);
                av::avcodec_parameters_copy(bsf->par_in, ost->Filters.size() > 1
                                                             ? ost->Filters[ost->Filters.size() - 2]->par_out
                                                             : ost->Stream->codecpar);
                bsf->time_base_in = ost->Stream->time_base;
                if (av::av_bsf_init(bsf) < 0)
                    throw FFmpegException(Format("%s failed for stream %d, codec %s", entry.Name.c_str(),
                                                 ost->StreamIndex, ost->NeedsEncoding && ost->Encoder->codec
                                                                       ? ost->Encoder->codec->name
                                                                       : "copy"));
            }
            if (!ost->Filters.empty()) av::avcodec_parameters_copy(ost->Stream->codecpar, ost->Filters.back()->par_out);
        }

        // Headers.
        bool allRtp = OutputFileCount > 0;
        for (int f = 0; f < OutputFileCount; ++f) {
            AVDictionary* own = PrivateOptionsForOpen();
            const int written = av::avformat_write_header(OutputFiles[f], &own);
            NotePrivateOptionsTaken(own);
            if (written < 0)
                throw FFmpegException(transcode::WriteFailureText(
                    OutputFiles[f], Format("Could not write header for output file #%d (incorrect codec parameters ?)", f)));
            if (std::string(OutputFiles[f]->oformat->name) != "rtp") allRtp = false;
        }
        WarnUntakenPrivateOptions();
        if (allRtp && LogHandler) {
            char sdp[2048] = {};
            av::av_sdp_create(OutputFiles.data(), OutputFileCount, sdp, sizeof sdp);
            std::string text(sdp);
            while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
            Log(1, "SDP: " + text);
        }

        run.Packet = av::av_packet_alloc();
        run.OutPacket = av::av_packet_alloc();
        run.Picture = av::av_frame_alloc();
        run.SendFrame = av::av_frame_alloc();
        if (!run.Packet || !run.OutPacket || !run.Picture || !run.SendFrame) throw FFmpegException("av_malloc fail");
        RunStartTime = av::av_gettime();
        run.LastReportTime = RunStartTime;
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
    delete RunTables;
    RunTables = nullptr;
    // The preview window goes with the run; it is freed outside the lock because
    // freeing it waits for the user-interface thread.
    std::unique_ptr<media::TPreviewer> window;
    {
        auto lock = platform::IsUiThread() ? LockPreviewFromUi() : std::unique_lock(PreviewLock());
        window = std::move(PreviewWindow);
    }
}

void TCustomFFmpeg::CloseOpenCodecs()
{
    for (AVCodecContext* enc : OpenEncoders) {
        av::av_freep(&enc->stats_in);
        std::lock_guard lock(media::CodecLock());
        av::avcodec_close(enc);
    }
    OpenEncoders.clear();
    for (AVCodecContext* dec : OpenDecoders) {
        std::lock_guard lock(media::CodecLock());
        av::avcodec_free_context(&dec);
    }
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
