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
    const media::DictionaryHandle unused(options);   // what the demuxer did not take
    if (err < 0) {
        player.SetLastError(media::OpenErrorText(is->Filename, err));
        return false;
    }
    is->Ic.reset(ic);
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

// The stream a seek is made in and its target in that stream's seconds.
int SeekStream(const PlaybackState* is)
{
    return is->VideoStream >= 0 ? is->VideoStream : is->AudioStream;
}

void CarryOutSeek(PlaybackState* is)
{
    std::int64_t target;
    bool exact;
    {
        std::lock_guard lock(is->SeekLock);
        target = is->SeekPos.load();
        exact = is->SeekExact;
        is->SeekBusy = true;
        is->SeekReq = 0;
    }
    const int streamIndex = SeekStream(is);
    std::int64_t streamTarget = target;
    if (streamIndex >= 0)
        streamTarget = av::av_rescale_q(target, AVRational{1, AV_TIME_BASE}, is->Ic->streams[streamIndex]->time_base);
    // From the key frame at or before the target: the pictures between it and the
    // target are decoded and skipped, so that the target itself can be shown.
    int ret = av::av_seek_frame(is->Ic, streamIndex, streamTarget, is->SeekFlags | AVSEEK_FLAG_BACKWARD);
    if (ret < 0) ret = av::av_seek_frame(is->Ic, streamIndex, streamTarget, is->SeekFlags);
    if (ret < 0) {
        is->Player->Log(ltError, WithFileName(is, ": error while seeking"));
    } else {
        const double seconds = static_cast<double>(target) / AV_TIME_BASE;
        ++is->SeekSerial;
        // A little under the target: time stamps rounded to the stream's unit still count as at the target.
        const double skip = exact ? seconds - 0.0005 : -1;
        if (is->AudioStream >= 0) {
            is->AudioDrained = false;
            is->AudioSkipUntil = exact || is->VideoStream < 0 ? seconds - 0.0005 : -1;
            is->AudioFlushSerial = is->SeekSerial.load();
            // The sound clock says the new place at once: pictures following it would
            // otherwise rush or wait after the old one until new sound is decoded.
            is->AudioClock = seconds;
            PacketQueueFlush(is->AudioQ);
            PacketQueuePutMarker(is->AudioQ, FlushMarkerText, is->AudioFlushSerial);
        }
        if (is->VideoStream >= 0) {
            HoldAudioForPicture(is);
            is->VideoDrained = false;
            is->VideoSkipUntil = skip;
            is->AwaitingPicture = true;
            is->ShowWhilePaused = true;
            PacketQueueFlush(is->VideoQ);
            PacketQueuePutMarker(is->VideoQ, FlushMarkerText);
            // The video thread may be waiting to queue a picture from before the seek.
            sdl::SDL_mutexP(is->PictqMutex);
            sdl::SDL_CondSignal(is->PictqCond);
            sdl::SDL_mutexV(is->PictqMutex);
        }
    }
    is->EndReported = false;
    is->Eof = false;
    is->SeekBusy = false;
}

// Sound of a packet that ends before the skip time of a seek is not kept.
bool BeforeAudioSkip(const PlaybackState* is, const AVPacket* pkt)
{
    const double until = is->AudioSkipUntil;
    if (until < 0 || pkt->pts == AV_NOPTS_VALUE || pkt->duration <= 0) return false;
    const double end = static_cast<double>(pkt->pts + pkt->duration) * ::av_q2d(is->AudioSt->time_base);
    return end <= until;
}

// Reading waits while a queue is over its bound, unless the other stream's queue
// has run dry: files that put much sound ahead of the pictures (PCM in AVI) would
// otherwise wait for pictures that never come. The hard bound keeps memory in check.
bool QueuesFull(PlaybackState* is)
{
    const bool audio = is->AudioStream >= 0, video = is->VideoStream >= 0;
    const int audioSize = audio ? PacketQueueSize(is->AudioQ) : 0;
    const int videoSize = video ? PacketQueueSize(is->VideoQ) : 0;
    if (audioSize + videoSize > MaxQueuedBytes) return true;
    const bool audioFull = audio && audioSize > MaxAudioQueueSize;
    const bool videoFull = video && videoSize > MaxVideoQueueSize;
    if (!audioFull && !videoFull) return false;
    const bool audioDry = audio && PacketQueueCount(is->AudioQ) == 0 && !is->AudioDrained;
    const bool videoDry = video && PacketQueueCount(is->VideoQ) == 0 && !is->VideoDrained;
    return !(audioFull && videoDry) && !(videoFull && audioDry);
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

        if (QueuesFull(is)) {
            Sleep(10);
            continue;
        }
        // Only the reader's own end counts: the byte stream may be at its end while
        // the demuxer still holds parsed frames (raw FLAC holds most of a second).
        if (is->Eof) {
            Sleep(10);
            continue;
        }
        const int ret = av::av_read_frame(ic, pkt);
        if (ret < 0) {
            const bool end = ret == AVERROR_EOF || (ic->pb && av::avio_feof(ic->pb));
            const bool broken = ic->pb && ic->pb->error;
            if (!end && !is->StillImage && !is->EndReported) {
                is->EndReported = true;
                is->Player->Log(ltError, WithFileName(is, ": error or end of file"));
            }
            if (end || broken) {
                // Nothing more comes: the decoders give out what they still hold.
                is->Eof = true;
                if (is->VideoStream >= 0) PacketQueuePutMarker(is->VideoQ, EndMarkerText);
                if (is->AudioStream >= 0) PacketQueuePutMarker(is->AudioQ, EndMarkerText);
            }
            if (broken) break;
            if (!end) Sleep(100);
            continue;
        }
        // Empty chunks (dropped pictures in AVI) carry nothing to decode; given to a
        // decoder they would read as the end of the input.
        if (pkt->size == 0 && !pkt->side_data_elems) {
            av::av_packet_unref(pkt);
            continue;
        }
        if (pkt->stream_index == is->AudioStream) {
            if (BeforeAudioSkip(is, pkt))
                av::av_packet_unref(pkt);
            else if (PacketQueuePut(is->AudioQ, pkt) < 0) av::av_packet_unref(pkt);
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

    media::PacketHandle pkt(av::av_packet_alloc());
    if (pkt && OpenInput(is)) {
        is->OpenStatus = osOpen;
        ReadLoop(is, pkt.get());
    } else if (!pkt) {
        is->Player->SetLastError(media::OpenErrorText(is->Filename, AVERROR(ENOMEM)));
    }
    pkt.reset();

    if (is->OpenStatus != osOpen) is->OpenStatus = osFailing;
    if (is->AudioStream >= 0) StreamComponentClose(is, is->AudioStream);
    if (is->VideoStream >= 0) StreamComponentClose(is, is->VideoStream);
    is->Ic.reset();
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
