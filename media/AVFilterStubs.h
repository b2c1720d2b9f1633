#pragma once
// Entry points of libavfilter, in binding order.
extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}
#include "media/StubMacros.h"

#define KV_AVFILTER_ENTRIES(X) \
    X(av_buffersink_get_frame) X(av_buffersink_get_frame_flags) X(av_buffersink_get_format) \
    X(av_buffersink_get_h) X(av_buffersink_get_time_base) X(av_buffersink_get_w) \
    X(av_buffersink_get_frame_rate) X(av_buffersink_get_sample_aspect_ratio) \
    X(av_buffersrc_add_frame_flags) X(av_buffersrc_close) \
    X(avfilter_get_by_name) X(avfilter_graph_alloc) X(avfilter_graph_alloc_filter) \
    X(avfilter_graph_config) X(avfilter_graph_create_filter) X(avfilter_graph_free) \
    X(avfilter_graph_parse_ptr) X(avfilter_init_str) X(avfilter_inout_alloc) X(avfilter_inout_free) \
    X(avfilter_link)

namespace av { KV_AVFILTER_ENTRIES(KV_DECLARE_SLOT) }

namespace kv::media {
void BindAVFilter(const std::string& fileName, void* handle);
void UnbindAVFilter();
}  // namespace kv::media
