#include "engine/KeptMetadata.h"

#include <algorithm>
#include <cstring>

#include "media/AVUtilStubs.h"

namespace kv::engine {

void KeepTrackTags(const AVStream* source, AVStream* output, const AVOutputFormat* format)
{
    for (const char* key : {"language", "title"}) {
        const AVDictionaryEntry* tag = av::av_dict_get(source->metadata, key, nullptr, 0);
        if (tag && !av::av_dict_get(output->metadata, key, nullptr, 0))
            av::av_dict_set(&output->metadata, key, tag->value, 0);
    }
    // The MP4 family's muxer writes a title in a box of the track's own that the
    // libraries (and players built on them) do not read back; the handler's name,
    // which they read and show, carries it as well.
    const AVDictionaryEntry* title = av::av_dict_get(output->metadata, "title", nullptr, 0);
    if (!title || !format || av::av_dict_get(output->metadata, "handler_name", nullptr, 0)) return;
    for (const char* name : {"mp4", "mov", "ipod", "3gp", "3g2"})
        if (std::strcmp(format->name, name) == 0) av::av_dict_set(&output->metadata, "handler_name", title->value, 0);
}

void KeepCreationDate(const AVDictionary* source, AVDictionary** output, bool stampedNow)
{
    const AVDictionaryEntry* date = av::av_dict_get(source, "creation_time", nullptr, 0);
    if (date && (stampedNow || !av::av_dict_get(*output, "creation_time", nullptr, 0)))
        av::av_dict_set(output, "creation_time", date->value, 0);
}

void KeepChapters(const AVFormatContext* source, AVFormatContext* output, std::int64_t offset, std::int64_t length)
{
    if (!source || output->nb_chapters > 0) return;
    for (unsigned i = 0; i < source->nb_chapters; ++i) {
        const AVChapter* in = source->chapters[i];
        const std::int64_t shift = av::av_rescale_q(offset, AV_TIME_BASE_Q, in->time_base);
        std::int64_t start = in->start + shift, end = in->end + shift;
        const std::int64_t last =
            length == INT64_MAX ? INT64_MAX : av::av_rescale_q(length, AV_TIME_BASE_Q, in->time_base);
        start = std::max<std::int64_t>(start, 0);
        end = std::min(end, last);
        if (end <= start) continue;   // outside the converted section
        auto* out = static_cast<AVChapter*>(av::av_mallocz(sizeof(AVChapter)));
        if (!out) return;
        out->id = in->id;
        out->time_base = in->time_base;
        out->start = start;
        out->end = end;
        av::av_dict_copy(&out->metadata, in->metadata, 0);
        if (av::av_dynarray_add_nofree(&output->chapters, reinterpret_cast<int*>(&output->nb_chapters), out) < 0) {
            // A chapter the output did not take: the libraries free chapters only with
            // their context, so this one goes by hand.
            av::av_dict_free(&out->metadata);
            av::av_free(out);
            return;
        }
    }
}

}  // namespace kv::engine
