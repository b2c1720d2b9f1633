#include "workflow/SourceTracks.h"

#include <filesystem>

extern "C" {
#include <libavformat/avformat.h>
}

#include "engine/StreamChoice.h"
#include "media/AVCodecStubs.h"
#include "media/AVFilterStubs.h"
#include "media/AVProbe.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"

namespace kv::workflow {

namespace {

std::string Tag(const AVStream* st, const char* key)
{
    const AVDictionaryEntry* e = av::av_dict_get(st->metadata, key, nullptr, 0);
    return e && e->value ? e->value : "";
}

std::string ChannelsText(int channels)
{
    switch (channels) {
    case 0: return {};
    case 1: return "mono";
    case 2: return "stereo";
    case 6: return "5.1";
    case 8: return "7.1";
    default: return std::to_string(channels) + " channels";
    }
}

// "<n>: <language> - <title> (<codec>, <channels>)", leaving out what the file does not say.
std::string TrackText(int number, const AVStream* st)
{
    std::string text = std::to_string(number) + ":";
    const std::string language = Tag(st, "language");
    const std::string title = Tag(st, "title");
    if (!language.empty() && language != "und") text += " " + language;
    if (!title.empty()) text += (text.back() == ':' ? " " : " - ") + title;
    const AVCodecDescriptor* d = av::avcodec_descriptor_get(st->codecpar->codec_id);
    std::string facts = d ? d->name : "";
    const std::string channels = ChannelsText(st->codecpar->ch_layout.nb_channels);
    if (!channels.empty()) facts += (facts.empty() ? "" : ", ") + channels;
    if (!facts.empty()) text += " (" + facts + ")";
    return text;
}

std::vector<TSourceTrack> ReadTracks(const std::string& fileName, AVMediaType type)
{
    std::vector<TSourceTrack> tracks;
    media::TAVProbe probe;
    if (!probe.OpenFile(fileName)) return tracks;
    const AVFormatContext* context = probe.FormatContext();
    for (unsigned s = 0; s < context->nb_streams; ++s) {
        const AVStream* st = context->streams[s];
        if (st->codecpar->codec_type != type) continue;
        TSourceTrack track;
        track.Text = TrackText(static_cast<int>(tracks.size()) + 1, st);
        track.Default = st->disposition & AV_DISPOSITION_DEFAULT;
        const AVCodecDescriptor* d = av::avcodec_descriptor_get(st->codecpar->codec_id);
        track.IsText = d && (d->props & AV_CODEC_PROP_TEXT_SUB);
        tracks.push_back(std::move(track));
    }
    return tracks;
}

}  // namespace

std::vector<TSourceTrack> ReadSoundTracks(const std::string& fileName)
{
    return ReadTracks(fileName, AVMEDIA_TYPE_AUDIO);
}

std::vector<TSourceTrack> ReadSubtitleTracks(const std::string& fileName)
{
    std::vector<TSourceTrack> tracks = ReadTracks(fileName, AVMEDIA_TYPE_SUBTITLE);
    for (const std::string& file : engine::SideCarSubtitleFiles(fileName)) {
        TSourceTrack track;
        track.Text = std::to_string(tracks.size() + 1) + ": " + std::filesystem::path(file).filename().string();
        track.IsText = true;
        tracks.push_back(std::move(track));
    }
    return tracks;
}

int DefaultTrackIndex(const std::vector<TSourceTrack>& tracks)
{
    for (std::size_t i = 0; i < tracks.size(); ++i)
        if (tracks[i].Default) return static_cast<int>(i);
    return tracks.empty() ? -1 : 0;
}

bool CanBurnSubtitles()
{
    return media::FFLoader.LibLoaded(media::libAVFilter) && av::avfilter_get_by_name &&
           av::avfilter_get_by_name("subtitles") != nullptr;
}

}  // namespace kv::workflow
