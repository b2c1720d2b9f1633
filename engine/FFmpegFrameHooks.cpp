// The points where the outside world sees and changes the frames of a running
// conversion: the frame hooks before a picture is encoded (the before-hook event,
// time ranges, the custom hook as a 24-bit bitmap, the plug-in chain), deinterlacing,
// and the rate-limited previews of encoded pictures.
#include "engine/FFmpegFrameHooks.h"

#include <cstring>
#include <exception>
#include <mutex>

#include "engine/FFmpegStreams.h"
#include "engine/PreviewLock.h"
#include "media/AVFilterStubs.h"
#include "media/AVUtilStubs.h"
#include "media/SwScaleStubs.h"

namespace kv::engine {

namespace transcode {

namespace {

constexpr int Bgr24 = AV_PIX_FMT_BGR24;

THookState& Hooks(TCustomFFmpeg& task)
{
    TTranscodeRun& run = *task.RunTables;
    if (!run.Hooks) run.Hooks = std::make_shared<THookState>();
    return *run.Hooks;
}

std::string ExceptionText(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// The hook buffer as a picture of the given format and size; reused while nobody
// else holds it (the encoder may keep a reference to the previous picture).
AVFrame* HookPicture(THookState& h, int format, int width, int height)
{
    const int size = av::av_image_get_buffer_size(static_cast<AVPixelFormat>(format), width, height, 1);
    if (size <= 0) return nullptr;
    if (!h.HookBuffer) h.HookBuffer.reset(av::av_frame_alloc());
    AVFrame* f = h.HookBuffer.get();
    if (!f) return nullptr;
    if (!f->buf[0] || f->format != format || f->width != width || f->height != height) {
        av::av_frame_unref(f);
        f->format = format;
        f->width = width;
        f->height = height;
        if (av::av_frame_get_buffer(f, 0) < 0) return nullptr;
        if (size > h.HookBufferSize) h.HookBufferSize = size;
    } else if (av::av_frame_make_writable(f) < 0) {
        return nullptr;
    }
    return f;
}

// A one-picture-in, one-picture-out deinterlacing filter of the libraries.
bool BuildDeinterlacer(THookState& h, const AVFrame* picture)
{
    h.DeinterlaceGraph.reset();
    h.DeinterlaceSource = h.DeinterlaceSink = nullptr;
    h.DeinterlaceFormat = -1;
    const AVFilter* filter = av::avfilter_get_by_name("pp");
    const char* options = "fd";
    if (!filter) {
        filter = av::avfilter_get_by_name("kerndeint");
        options = nullptr;
    }
    if (filter) h.DeinterlaceGraph.reset(av::avfilter_graph_alloc());
    if (!h.DeinterlaceGraph) return false;
    h.DeinterlaceGraph->nb_threads = 1;
    char args[160];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=1/1", picture->width,
                  picture->height, picture->format, AV_TIME_BASE);
    AVFilterContext* deinterlace = nullptr;
    if (av::avfilter_graph_create_filter(&h.DeinterlaceSource, av::avfilter_get_by_name("buffer"), "in", args,
                                         nullptr, h.DeinterlaceGraph.get()) < 0 ||
        av::avfilter_graph_create_filter(&deinterlace, filter, "deinterlace", options, nullptr,
                                         h.DeinterlaceGraph.get()) < 0)
        return false;
    h.DeinterlaceSink =
        av::avfilter_graph_alloc_filter(h.DeinterlaceGraph.get(), av::avfilter_get_by_name("buffersink"), "out");
    const int formats[] = {picture->format, AV_PIX_FMT_NONE};
    if (!h.DeinterlaceSink ||
        av::av_opt_set_bin(h.DeinterlaceSink, "pix_fmts", reinterpret_cast<const std::uint8_t*>(formats),
                           sizeof(int), AV_OPT_SEARCH_CHILDREN) < 0 ||
        av::avfilter_init_str(h.DeinterlaceSink, nullptr) < 0 ||
        av::avfilter_link(h.DeinterlaceSource, 0, deinterlace, 0) < 0 ||
        av::avfilter_link(deinterlace, 0, h.DeinterlaceSink, 0) < 0 ||
        av::avfilter_graph_config(h.DeinterlaceGraph.get(), nullptr) < 0)
        return false;
    if (!h.Deinterlaced) h.Deinterlaced.reset(av::av_frame_alloc());
    if (!h.Deinterlaced) return false;
    h.DeinterlaceWidth = picture->width;
    h.DeinterlaceHeight = picture->height;
    h.DeinterlaceFormat = picture->format;
    return true;
}

// Writes the deinterlaced picture into `work`; negative on failure.
int Deinterlace(THookState& h, AVFrame* work, AVFrame* picture)
{
    if (!h.DeinterlaceGraph || h.DeinterlaceWidth != picture->width || h.DeinterlaceHeight != picture->height ||
        h.DeinterlaceFormat != picture->format) {
        if (!BuildDeinterlacer(h, picture)) {
            h.DeinterlaceGraph.reset();
            return -1;
        }
    }
    const std::int64_t pts = picture->pts;
    picture->pts = 0;
    int r = av::av_buffersrc_add_frame_flags(h.DeinterlaceSource, picture, AV_BUFFERSRC_FLAG_KEEP_REF);
    picture->pts = pts;
    if (r >= 0) r = av::av_buffersink_get_frame(h.DeinterlaceSink, h.Deinterlaced.get());
    if (r < 0) {
        // A filter that holds pictures back is of no use here; build it anew next time.
        h.DeinterlaceGraph.reset();
        return r;
    }
    av::av_image_copy(work->data, work->linesize, const_cast<const std::uint8_t**>(h.Deinterlaced->data),
                      h.Deinterlaced->linesize, static_cast<AVPixelFormat>(work->format), work->width,
                      work->height);
    av::av_frame_unref(h.Deinterlaced.get());
    return 0;
}

void RunCustomHook(TCustomFFmpeg& task, THookState& h, AVFrame* picture, std::int64_t pts)
{
    const int format = picture->format, width = picture->width, height = picture->height;
    media::TFrameConverter& c = h.HookConverter;
    if (c.Bitmap && (c.Bitmap->Width() != width || c.Bitmap->Height() != height)) media::ResetFrameConverter(c);
    const bool ok = media::ConvertPictureToBitmap(c, picture->data, picture->linesize, format, height, width);
    bool stop = !ok;
    if (!ok) task.Log(llError, "Cannot initialize the toRGB conversion context");
    if (ok) {
        bool update = true;
        try {
            task.CustomHookHandler->DoCustomHook(&task, *c.Bitmap, h.HookFrameNumber, pts, update, stop);
        } catch (...) {
            task.Log(llError, "Error occurs OnCustomHook: " + ExceptionText(std::current_exception()));
            update = false;
        }
        if (update) {
            // Back into the 24-bit picture the bitmap was made from, then into the
            // picture's own format.
            std::uint8_t* rgb = format == Bgr24 ? picture->data[0] : c.DestData[0];
            const int rgbLine = format == Bgr24 ? picture->linesize[0] : c.DestLinesize[0];
            const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
            for (int y = 0; y < height; ++y)
                std::memcpy(rgb + static_cast<std::ptrdiff_t>(y) * rgbLine, c.Bitmap->ScanLine(y), rowBytes);
            if (format != Bgr24) {
                if (!media::CachedScaler(c.BackScaler, width, height, AV_PIX_FMT_BGR24, width, height,
                                         static_cast<AVPixelFormat>(format), SWS_BICUBIC, nullptr, nullptr, nullptr)) {
                    task.Log(llError, "Cannot initialize the fromRGB conversion context");
                    stop = true;
                } else {
                    av::sws_scale(c.BackScaler, c.DestData, c.DestLinesize, 0, height, picture->data,
                                  picture->linesize);
                }
            }
        }
    }
    if (stop) {
        task.CustomHookHandler = nullptr;
        task.HookAction = haStop;
        task.UsingVHook = false;
    }
}

}  // namespace

void PrepareVideoFrame(TCustomFFmpeg& task, TInputStream& ist, AVFrame* picture)
{
    THookState& h = Hooks(task);
    h.HookFrameNumber += 1;
    const std::int64_t pts = ist.Pts;

    if (!task.CustomHookHandler && task.UsingVHook) {
        if (task.BeforeHookHandler) {
            try {
                task.BeforeHookHandler->DoBeforeHook(&task, pts, task.HookAction);
            } catch (...) {
                task.Log(llError, "Error occurs OnBeforeHook: " + ExceptionText(std::current_exception()));
                task.HookAction = haStop;
            }
            if (task.HookAction == haStop) task.UsingVHook = false;
        } else if (!task.TimeRanges.empty()) {
            task.HookAction = haIgnore;
            const int count = static_cast<int>(task.TimeRanges.size());
            for (int i = task.TimeRangeIndex; i < count; ++i) {
                const auto& range = task.TimeRanges[i];
                if (range.Start <= pts && pts <= range.End) {
                    task.TimeRangeIndex = i;
                    task.HookAction = haContinue;
                    break;
                }
                if (i == count - 1 && range.End < pts) {
                    task.HookAction = haStop;
                    task.UsingVHook = false;
                }
            }
        }
    }

    const bool plugins = task.UsingVHook && task.HookAction == haContinue;
    if (!task.DoDeinterlace && !task.CustomHookHandler && !plugins) return;
    // Nothing was decoded (a copied stream): nothing to change.
    if (!picture || !picture->data[0] || picture->width <= 0 || picture->height <= 0) return;

    const int format = picture->format, width = picture->width, height = picture->height;
    AVFrame* work = HookPicture(h, format, width, height);
    if (!work) {
        task.Log(llError, "hook buf malloc error.");
        return;
    }
    if (task.DoDeinterlace) {
        if (Deinterlace(h, work, picture) < 0) {
            task.Log(llError, "Deinterlacing failed.");
            work = picture;
        }
    } else {
        av::av_image_copy(work->data, work->linesize, const_cast<const std::uint8_t**>(picture->data),
                          picture->linesize, static_cast<AVPixelFormat>(format), width, height);
    }

    if (task.CustomHookHandler) RunCustomHook(task, h, work, pts);
    else if (plugins) ProcessFrameHooks(task.FrameHooks, work->data, work->linesize, format, width, height, pts);

    if (work != picture) {
        // The rest of the path reads the hook buffer, with the picture's properties.
        av::av_frame_copy_props(work, picture);
        av::av_frame_unref(picture);
        if (av::av_frame_ref(picture, work) < 0) task.Log(llError, "hook buf malloc error.");
    }
}

void SendPreview(TCustomFFmpeg& task, const std::uint8_t* const data[4], const int linesize[4],
                 const AVCodecContext* enc, std::int64_t pts, int frameNumber)
{
    std::lock_guard lock(PreviewLock());
    THookState& h = Hooks(task);
    const std::uint8_t before = task.PreviewFlags;
    std::uint8_t flags = before;
    const std::int64_t now = av::av_gettime();
    const std::int64_t ptsUS =
        pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : av::av_rescale_q(pts, enc->time_base, AV_TIME_BASE_Q);
    media::TFrameConverter& c = h.PreviewConverter;
    auto convert = [&] {
        if (c.Bitmap && (c.Bitmap->Width() != enc->width || c.Bitmap->Height() != enc->height))
            media::ResetFrameConverter(c);
        const bool ok = media::ConvertPictureToBitmap(c, data, linesize, enc->pix_fmt, enc->height, enc->width);
        if (!ok) task.Log(llError, "Cannot initialize the toRGB conversion context");
        return ok;
    };
    if ((flags & 2) && task.PreviewBitmapHandler) {
        if (now - h.LastPreviewTime > task.PreviewIntervalUS) {
            const bool ok = convert();
            if (ok) task.PreviewBitmapHandler->DoPreviewBitmap(&task, *c.Bitmap, frameNumber, ptsUS);
            h.LastPreviewTime = now;
            if (!ok) flags &= static_cast<std::uint8_t>(~2);
        }
    } else if (flags & 1) {
        if (now - h.LastPreviewTime > task.PreviewIntervalUS) {
            bool ok = convert();
            if (ok) {
                if (!task.PreviewWindow) task.PreviewWindow = media::MakeFramePreview();
                ok = task.PreviewWindow && task.PreviewWindow->Preview(*c.Bitmap, frameNumber, ptsUS);
            }
            h.LastPreviewTime = now;
            if (!ok) flags &= static_cast<std::uint8_t>(~1);
        }
    }
    // The window goes with the bit that asked for it.
    if ((before & 1) && !(flags & 1)) task.PreviewWindow.reset();
    task.PreviewFlags = flags;
}

}  // namespace transcode

}  // namespace kv::engine
