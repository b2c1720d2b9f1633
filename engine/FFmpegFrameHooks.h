#pragma once
// What the frame hooks and previews keep from frame to frame during a task's run.
#include <cstdint>
#include <memory>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
}

#include "media/AvHandles.h"
#include "media/FFUtils.h"

namespace kv::engine {

struct THookState {
    THookState() = default;
    THookState(const THookState&) = delete;
    THookState& operator=(const THookState&) = delete;

    int HookFrameNumber = 0;               // +1 for every picture prepared
    media::FrameHandle HookBuffer;         // deinterlaced or hooked copy of the picture; grows only
    int HookBufferSize = 0;                // bytes
    media::TFrameConverter HookConverter;  // OnCustomHook only
    media::TFrameConverter PreviewConverter;
    std::int64_t LastPreviewTime = 0;      // wall clock, microseconds

    // The deinterlacing filter, built for one picture size and format.
    media::FilterGraphHandle DeinterlaceGraph;
    AVFilterContext* DeinterlaceSource = nullptr;
    AVFilterContext* DeinterlaceSink = nullptr;
    media::FrameHandle Deinterlaced;
    int DeinterlaceWidth = 0, DeinterlaceHeight = 0, DeinterlaceFormat = -1;
};

}  // namespace kv::engine
