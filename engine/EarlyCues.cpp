#include "engine/EarlyCues.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include "engine/FFmpeg.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"

namespace kv::engine {

namespace {

// How long before the start a cue still on screen there may have begun.
constexpr std::int64_t LookBack = 30 * AV_TIME_BASE;

bool HasSubtitles(const AVFormatContext* ic)
{
    for (unsigned s = 0; s < ic->nb_streams; ++s)
        if (ic->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && ic->streams[s]->discard != AVDISCARD_ALL)
            return true;
    return false;
}

// A second reading of the file with only its subtitle streams; null when it does not
// open as the same streams.
media::InputFormatHandle SubtitleReading(const AVFormatContext* ic)
{
    AVFormatContext* raw = nullptr;
    if (!ic->url || av::avformat_open_input(&raw, ic->url, ic->iformat, nullptr) < 0) return nullptr;
    media::InputFormatHandle again(raw);
    if (again->nb_streams != ic->nb_streams) return nullptr;
    for (unsigned s = 0; s < again->nb_streams; ++s) {
        const bool wanted = ic->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE &&
                            ic->streams[s]->discard != AVDISCARD_ALL;
        if (again->streams[s]->codecpar->codec_type != ic->streams[s]->codecpar->codec_type) return nullptr;
        again->streams[s]->discard = wanted ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    return again;
}

void ReadCues(const TCustomFFmpeg& task, int file, std::vector<TEarlyCue>& cues)
{
    const AVFormatContext* ic = task.InputFiles[file];
    const std::int64_t start = task.InputSeekTimes[file];
    // Past where the input's own reading begins, anything read comes again there.
    const std::int64_t resumes = ic->pb ? av::avio_seek(ic->pb, 0, SEEK_CUR) : -1;
    media::InputFormatHandle again = SubtitleReading(ic);
    if (!again) return;
    const std::int64_t first = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
    if (start - LookBack > first) av::av_seek_frame(again.get(), -1, start - LookBack, AVSEEK_FLAG_BACKWARD);
    media::PacketHandle pkt(av::av_packet_alloc());
    while (pkt && av::av_read_frame(again.get(), pkt.get()) >= 0) {
        const AVStream* st = again->streams[pkt->stream_index];
        if (resumes > 0 && pkt->pos >= resumes) break;
        if (pkt->pts == AV_NOPTS_VALUE || st->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE) {
            av::av_packet_unref(pkt.get());
            continue;
        }
        const std::int64_t at = av::av_rescale_q(pkt->pts, st->time_base, AV_TIME_BASE_Q);
        if (at >= start) break;
        const std::int64_t until = at + av::av_rescale_q(pkt->duration, st->time_base, AV_TIME_BASE_Q);
        if (pkt->duration > 0 && until > start) {
            TEarlyCue cue{file, pkt->stream_index, pkt->pts, media::PacketHandle(av::av_packet_alloc())};
            if (cue.Packet && av::av_packet_ref(cue.Packet.get(), pkt.get()) >= 0) cues.push_back(std::move(cue));
        }
        av::av_packet_unref(pkt.get());
    }
}

}  // namespace

std::vector<TEarlyCue> CuesOnScreenAtStart(const TCustomFFmpeg& task)
{
    std::vector<TEarlyCue> cues;
    if (task.CopyTs) return cues;
    for (int f = 0; f < task.InputFileCount; ++f) {
        const AVFormatContext* ic = task.InputFiles[f];
        if (ic && task.InputSeekTimes[f] != 0 && HasSubtitles(ic)) ReadCues(task, f, cues);
    }
    return cues;
}

bool IsEarlyCue(const std::vector<TEarlyCue>& cues, int file, const AVPacket* packet)
{
    for (const TEarlyCue& cue : cues)
        if (cue.File == file && cue.Stream == packet->stream_index && cue.Pts == packet->pts) return true;
    return false;
}

}  // namespace kv::engine
