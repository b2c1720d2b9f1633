#pragma once
// Everything of one opened file while it plays: the record the player allocates
// zero-filled at open and frees when playback ends, and the pipeline's operations
// on it (reading, decoding, the refresh cycle, picture and sound output).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "media/PictureOrientation.h"
#include "player/LibSDL.h"
#include "player/PacketQueue.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVStream;
struct SwrContext;

namespace kv::player {

class TPlayerCore;

constexpr int AudioBufferSize = 288000;
constexpr int SilenceBlockSize = 1024;
constexpr int SampleArraySize = 131072;
constexpr int PictureQueueSize = 1;
// Overlays: the one on screen and the one the next picture is written into, so that
// the picture on screen stays intact for redraws and snapshots.
constexpr int PictureSlots = PictureQueueSize + 1;
constexpr int MaxAudioQueueSize = 81920;
constexpr int MaxVideoQueueSize = 1310720;
// Both queues together never hold more, whatever a file interleaves.
constexpr int MaxQueuedBytes = 16 * 1024 * 1024;

// The player's own display-library events; their first data word carries the playback.
constexpr int AllocEvent = SDL_USEREVENT;        // 24
constexpr int RefreshEvent = SDL_USEREVENT + 1;  // 25
constexpr int QuitEvent = SDL_USEREVENT + 2;     // 26

enum TOpenStatus { osOpening = 0, osOpen = 1, osFailing = -1, osFailed = -2 };

struct TVideoPicture {
    double Pts;
    int Serial;  // the seek it was decoded after
    SdlOverlayHandle Bmp;
    int Width, Height;
    int Allocated;
};

struct PlaybackState {
    // Header
    TPlayerCore* Player;
    std::atomic<int> OpenStatus;
    std::int64_t StartTime;
    std::int64_t Duration;
    std::int64_t AudioStartTime;
    bool StillImage;
    bool EndReported;
    // Threads
    SDL_Thread* ReadTid;
    SDL_Thread* VideoTid;
    // Requests from the player
    std::atomic<int> AbortRequest;
    std::atomic<int> Paused;
    int LastPaused;
    std::atomic<int> SeekReq;
    int SeekFlags;
    std::atomic<std::int64_t> SeekPos;
    bool SeekExact;      // show the first picture at or after the target, not the key frame
    // The read thread has taken a request and not yet flushed for it: the picture on
    // screen is not yet the one steps go from.
    std::atomic<bool> SeekBusy;
    std::mutex SeekLock;  // guards the request's fields while it is made or taken
    std::atomic<bool> Eof;
    // After a seek: pictures and sound before this time (seconds, stream time) are
    // decoded but not shown or played; negative when nothing is skipped.
    std::atomic<double> VideoSkipUntil;
    std::atomic<double> AudioSkipUntil;
    double VideoSkipTarget;  // of the video thread: the skip time of the seek it decodes after
    double AudioSkipTarget;  // of the sound callback: the skip time of the seek it decodes after
    // The seek whose flush the reader last put in the sound queue, and the one whose
    // flush the sound callback last took: until they agree, the sound it decodes is
    // from before a seek and is not played.
    std::atomic<int> AudioFlushSerial;
    int AudioHeardSerial;
    // Set until the first picture after an open or a seek is on screen; positions
    // are not reported meanwhile (the clock has nothing to go by).
    std::atomic<bool> AwaitingPicture;
    // A picture to show while paused: after a seek or for a step.
    std::atomic<bool> ShowWhilePaused;
    // Counts the seeks; pictures decoded before the latest one are not shown.
    std::atomic<int> SeekSerial;
    int DecodeSerial;  // of the video thread: the seek its pictures follow
    // Pictures were stepped through while paused: the sound is behind them.
    std::atomic<bool> Stepped;
    // Steps asked for and not yet taken (forward positive, back negative): the play
    // thread takes them one at a time, each once the picture of the one before is
    // on screen, so that quick presses and a step right after a seek all count.
    std::atomic<int> StepsPending;
    // The decoders gave out everything after the end of the input.
    std::atomic<bool> VideoDrained;
    std::atomic<bool> AudioDrained;
    bool AudioDraining;  // of the sound's thread: the decoder is giving out its last frames
    // Input
    media::Viewed<media::InputFormatHandle> Ic;
    int AudioStream;
    // Audio
    std::atomic<double> AudioClock;
    AVStream* AudioSt;
    media::Viewed<media::CodecContextHandle> AudioDec;
    TPacketQueue AudioQ;
    int AudioHwBufSize;
    int AudioRate;
    int AudioChannels;  // of the device: 1 or 2
    alignas(64) std::uint8_t AudioBuf1[AudioBufferSize];
    alignas(64) std::uint8_t AudioBuf2[AudioBufferSize];
    std::uint8_t* AudioBuf;
    std::atomic<int> AudioBufSize;
    std::atomic<int> AudioBufIndex;
    media::Viewed<media::PacketHandle> AudioPkt;
    media::Viewed<media::FrameHandle> AudioFrame;
    bool AudioFramesPending;  // the decoder may still give out frames of the last packet
    int AudioSrcFmt;
    AVChannelLayout AudioSrcLayout;
    int AudioSrcRate;
    media::Viewed<media::ResamplerHandle> Swr;
    // Sound waits (the device gets silence) until the first picture after an open or
    // a seek is on screen, at most until the deadline (wall clock, microseconds), so
    // that picture and sound start together.
    std::atomic<bool> AudioHeld;
    std::atomic<std::int64_t> AudioHoldDeadline;
    bool ShowWaveform;
    std::int16_t SampleArray[SampleArraySize];
    std::atomic<int> SampleArrayIndex;
    int LastIStart;
    // Subtitles: never selected
    int SubtitleStream;
    // Video timing (seconds)
    std::atomic<double> FrameTimer;  // also moved by a resume on the user-interface thread
    double FrameLastPts;
    double FrameLastDelay;
    double VideoClock;
    // Video
    int VideoStream;
    AVStream* VideoSt;
    media::Viewed<media::CodecContextHandle> VideoDec;
    TPacketQueue VideoQ;
    // How the stored pictures are turned upright for the screen, and the stored
    // picture in 4:2:0 before it is turned (kept: no allocation per picture).
    media::TOrientation VideoOrientation;
    std::vector<std::uint8_t> TurnBuffer;
    std::atomic<double> VideoCurrentPts;
    std::atomic<std::int64_t> VideoCurrentPtsTime;
    // Picture queue
    TVideoPicture Pictq[PictureSlots];
    int PictqSize, PictqRindex, PictqWindex;
    std::atomic<int> ShownIndex;  // the entry on screen, -1 before the first picture
    int AllocWidth, AllocHeight;  // the overlay size the video thread asks for
    SdlMutexHandle PictqMutex;
    SdlCondHandle PictqCond;
    // Guards the overlay's pixels and life while it is written, shown or copied.
    SdlMutexHandle OverlayMutex;
    // Output
    char Filename[1024];
    int Width, Height, XLeft, YTop;
    bool BandsStale;  // the area around the picture is to be painted (new surface, expose)
};

// Read thread and streams
int ReadThread(void* state);
void StreamComponentOpen(PlaybackState* is, int streamIndex);
void StreamComponentClose(PlaybackState* is, int streamIndex);

// Video decoding
int VideoThread(void* state);
void AllocPicture(PlaybackState* is);

// Refresh cycle and clocks
void VideoRefresh(PlaybackState* is);
void ScheduleRefresh(PlaybackState* is, int delayMs);
double GetAudioClock(PlaybackState* is);
double GetVideoClock(PlaybackState* is);
double GetMasterClock(PlaybackState* is);
void TogglePause(PlaybackState* is);
// A later request replaces one the read thread has not taken yet: the last wins.
// Steps not taken yet are dropped: they were meant from the place before the seek.
void RequestSeek(PlaybackState* is, std::int64_t target, int flags, bool exact);
// On the play thread while paused: takes the next step asked for, when the one before is done.
void TakePendingStep(PlaybackState* is);
// Holds the sound back until the next picture is shown; for playbacks with a picture.
void HoldAudioForPicture(PlaybackState* is);
bool AudioIsHeld(PlaybackState* is);

// Picture output
// The stream's picture size as shown: upright; 0 x 0 without a picture.
void ShownFrameSize(const PlaybackState* is, int& width, int& height);
bool VideoOpen(PlaybackState* is);
void VideoDisplay(PlaybackState* is);
// Shows entry `index` of the picture queue (the shown one on expose).
void VideoImageDisplay(PlaybackState* is, int index);
bool ConvertFrameToOverlay(PlaybackState* is, AVFrame* frame, SDL_Overlay* overlay, double pts);

// Sound output
void AudioCallback(void* state, std::uint8_t* stream, int len);
void UpdateSampleDisplay(PlaybackState* is, const std::int16_t* samples, int size);
void WaveformDisplay(PlaybackState* is);

// Seconds of the wall clock.
double NowSeconds();
std::int64_t NowMicroseconds();

}  // namespace kv::player
