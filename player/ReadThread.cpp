// The read thread: opens the file, chooses and opens its streams, then splits it
// into the packet queues, carrying out pause and seek requests, until aborted.
#include <string>

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFUtils.h"
#include "player/PlaybackState.h"
#include "player/PlayerCore.h"

namespace kv::player {

namespace {

// The format library's interrupt check, bound to one playback's abort flag.
int DecodeInterruptCallback(void* state)
{
    return static_cast<PlaybackState*>(state)->AbortRequest.load() == 1;
}

std::string WithFileName(const PlaybackState* is, const char* text)
{
    return std::string(is->Filename) + text;
}

void Sleep(int ms)
{
    av::av_usleep(static_cast<unsigned>(ms) * 1000);
}

bool IsStillImageFormat(const char* name)
{
    const std::string n = name ? name : "";
    // Today's libraries read single pictures through "image2" or a picture pipe.
    return n == "image2" || (n.size() > 5 && n.compare(n.size() - 5, 5, "_pipe") == 0);
}

void SelectStreams(PlaybackState* is, int& audioIndex, int& videoIndex)
{
    TPlayerCore& player = *is->Player;
    int wantedAudio = player.WantedAudio, wantedVideo = player.WantedVideo, wantedSubtitle = player.WantedSubtitle;
    int subtitleIndex = -1;
    for (unsigned i = 0; i < is->Ic->nb_streams; ++i) {
        AVStream* st = is->Ic->streams[i];
        st->discard = AVDISCARD_ALL;
        switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            if (wantedAudio >= 0 && !player.DisableAudio) audioIndex = static_cast<int>(i);
            wantedAudio--;
            break;
        case AVMEDIA_TYPE_VIDEO:
            if (wantedVideo >= 0 && !player.DisableVideo) videoIndex = static_cast<int>(i);
            wantedVideo--;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            if (wantedSubtitle >= 0 && !player.DisableVideo) subtitleIndex = static_cast<int>(i);
            wantedSubtitle--;
            break;
        default: break;
        }
    }
    (void)subtitleIndex;  // subtitles are never shown
}

// Opens the file and its streams; false with the reason in the player's LastError.
bool OpenInput(PlaybackState* is)
{
    TPlayerCore& player = *is->Player;
    AVFormatContext* ic = av::avformat_alloc_context();
    if (!ic) {
        player.SetLastError(media::OpenErrorText(is->Filename, AVERROR(ENOMEM)));
        return false;
    }
    ic->interrupt_callback.callback = DecodeInterruptCallback;
    ic->interrupt_callback.opaque = is;
    AVDictionary* options = nullptr;
    if (player.FrameWidth > 0 && player.FrameHeight > 0)
        av::av_dict_set(&options, "video_size",
                        (std::to_string(player.FrameWidth) + "x" + std::to_string(player.FrameHeight)).c_str(), 0);
    const int err = av::avformat_open_input(&ic, is->Filename, nullptr, &options);
    av::av_dict_free(&options);
    if (err < 0) {
        player.SetLastError(media::OpenErrorText(is->Filename, err));
        return false;
    }
    is->Ic = ic;
    if (av::avformat_find_stream_info(ic, nullptr) < 0) {
        player.SetLastError(WithFileName(is, ": could not find codec parameters"));
        return false;
    }
    if (ic->pb) ic->pb->eof_reached = 0;
    is->StillImage = IsStillImageFormat(ic->iformat->name);

    int audioIndex = -1, videoIndex = -1;
    SelectStreams(is, audioIndex, videoIndex);
    if (videoIndex >= 0) HoldAudioForPicture(is);
    if (audioIndex >= 0) StreamComponentOpen(is, audioIndex);
    if (videoIndex >= 0) StreamComponentOpen(is, videoIndex);
    if (is->VideoStream < 0) is->AudioHeld = false;
    if (is->VideoStream < 0 && !player.DisableDisplay) is->ShowWaveform = true;
    if (is->VideoStream < 0 && is->AudioStream < 0) {
        player.SetLastError(WithFileName(is, ": could not open codecs, no stream to play."));
        return false;
    }
    return true;
}

void CarryOutSeek(PlaybackState* is)
{
    std::int64_t target = is->SeekPos.load();
    int streamIndex = is->VideoStream >= 0 ? is->VideoStream : is->AudioStream;
    if (streamIndex >= 0)
        target = av::av_rescale_q(target, AVRational{1, AV_TIME_BASE}, is->Ic->streams[streamIndex]->time_base);
    if (av::av_seek_frame(is->Ic, streamIndex, target, is->SeekFlags) < 0) {
        is->Player->Log(ltError, WithFileName(is, ": error while seeking"));
    } else {
        AVPacket flush{};
        flush.data = reinterpret_cast<std::uint8_t*>(const_cast<char*>(FlushMarkerText));
        if (is->AudioStream >= 0) {
            PacketQueueFlush(is->AudioQ);
            PacketQueuePut(is->AudioQ, &flush);
        }
        if (is->VideoStream >= 0) {
            HoldAudioForPicture(is);
            PacketQueueFlush(is->VideoQ);
            PacketQueuePut(is->VideoQ, &flush);
        }
    }
    is->EndReported = false;
    is->Eof = false;
    is->SeekReq = 0;
}

void ReadLoop(PlaybackState* is, AVPacket* pkt)
{
    AVFormatContext* ic = is->Ic;
    while (!is->AbortRequest) {
        const int paused = is->Paused;
        if (paused != is->LastPaused) {
            is->LastPaused = paused;
            if (paused)
                av::av_read_pause(ic);
            else
                av::av_read_play(ic);
        }
        if (is->SeekReq) CarryOutSeek(is);

        if ((is->AudioStream >= 0 && PacketQueueSize(is->AudioQ) > MaxAudioQueueSize) ||
            (is->VideoStream >= 0 && PacketQueueSize(is->VideoQ) > MaxVideoQueueSize)) {
            Sleep(10);
            continue;
        }
        if ((ic->pb && av::avio_feof(ic->pb)) || is->Eof) {
            if (is->VideoStream >= 0) {
                // Empty packets let the decoder give out the pictures it still holds.
                av::av_packet_unref(pkt);
                pkt->stream_index = is->VideoStream;
                PacketQueuePut(is->VideoQ, pkt);
            }
            Sleep(10);
            continue;
        }
        const int ret = av::av_read_frame(ic, pkt);
        if (ret < 0) {
            if (!is->StillImage && !is->EndReported) {
                is->EndReported = true;
                is->Player->Log(ltError, WithFileName(is, ": error or end of file"));
            }
            if (ret == AVERROR_EOF) is->Eof = true;
            if (ic->pb && ic->pb->error) break;
            Sleep(100);
            continue;
        }
        if (pkt->stream_index == is->AudioStream) {
            if (PacketQueuePut(is->AudioQ, pkt) < 0) av::av_packet_unref(pkt);
        } else if (pkt->stream_index == is->VideoStream) {
            if (PacketQueuePut(is->VideoQ, pkt) < 0) av::av_packet_unref(pkt);
        } else {
            av::av_packet_unref(pkt);
        }
    }
    while (!is->AbortRequest) Sleep(100);
}

}  // namespace

int ReadThread(void* state)
{
    auto* is = static_cast<PlaybackState*>(state);
    is->AudioStream = is->VideoStream = is->SubtitleStream = -1;

    AVPacket* pkt = av::av_packet_alloc();
    if (pkt && OpenInput(is)) {
        is->OpenStatus = osOpen;
        ReadLoop(is, pkt);
    } else if (!pkt) {
        is->Player->SetLastError(media::OpenErrorText(is->Filename, AVERROR(ENOMEM)));
    }
    av::av_packet_free(&pkt);

    if (is->OpenStatus != osOpen) is->OpenStatus = osFailing;
    if (is->AudioStream >= 0) StreamComponentClose(is, is->AudioStream);
    if (is->VideoStream >= 0) StreamComponentClose(is, is->VideoStream);
    if (is->Ic) av::avformat_close_input(&is->Ic);
    if (is->OpenStatus == osFailing) {
        SDL_Event event{};
        event.type = QuitEvent;
        event.user.data1 = is;
        sdl::SDL_PushEvent(&event);
        is->OpenStatus = osFailed;
    }
    return 0;
}

}  // namespace kv::player
