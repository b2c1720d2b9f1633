// The drawing surface and the pictures on it: each decoded picture is converted
// into the display overlay (turned upright, through the frame hook when asked for)
// and shown centred with its aspect ratio.
#include <algorithm>
#include <mutex>

#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/SwScaleStubs.h"
#include "player/FrameHookPath.h"
#include "player/PlaybackMath.h"
#include "player/PictureTurn.h"
#include "player/PlaybackState.h"
#include "player/PlayerCore.h"

namespace kv::player {

namespace {

constexpr Uint32 SurfaceFlags = SDL_HWSURFACE | SDL_ASYNCBLIT | SDL_RESIZABLE | SDL_HWACCEL;

// The ordinary picture conversion's scaler, shared by all players.
std::mutex ScalerLock;
SwsContext* PictureScaler = nullptr;

// Of the upright picture: a quarter turn turns the pixels too.
float SampleAspect(const PlaybackState* is)
{
    AVRational sar = is->VideoSt->sample_aspect_ratio;
    if (!sar.num) sar = is->VideoSt->codecpar->sample_aspect_ratio;
    if (!sar.num || !sar.den) return 0;
    const double stored = av_q2d(sar);
    return static_cast<float>(is->VideoOrientation.SwapsSides() ? 1.0 / stored : stored);
}

// The bands beside a picture narrower or lower than the drawing area: black, not
// whatever the window held before.
void PaintBands(PlaybackState* is, const SDL_Rect& picture)
{
    SDL_Surface* surface = is->Player->Surface;
    if (!surface) return;
    const Uint32 black = sdl::SDL_MapRGB(surface->format, 0, 0, 0);
    const int right = picture.x + picture.w, bottom = picture.y + picture.h;
    SDL_Rect bands[4] = {
        {static_cast<Sint16>(is->XLeft), static_cast<Sint16>(is->YTop), static_cast<Uint16>(is->Width),
         static_cast<Uint16>(std::max(0, picture.y - is->YTop))},
        {static_cast<Sint16>(is->XLeft), static_cast<Sint16>(bottom), static_cast<Uint16>(is->Width),
         static_cast<Uint16>(std::max(0, is->YTop + is->Height - bottom))},
        {static_cast<Sint16>(is->XLeft), picture.y, static_cast<Uint16>(std::max(0, picture.x - is->XLeft)), picture.h},
        {static_cast<Sint16>(right), picture.y, static_cast<Uint16>(std::max(0, is->XLeft + is->Width - right)),
         picture.h},
    };
    for (SDL_Rect& band : bands) {
        if (band.w == 0 || band.h == 0) continue;
        sdl::SDL_FillRect(surface, &band, black);
        sdl::SDL_UpdateRect(surface, band.x, band.y, band.w, band.h);
    }
}

}  // namespace

void VideoImageDisplay(PlaybackState* is, int index)
{
    if (index < 0 || index >= PictureSlots) return;
    TVideoPicture* vp = &is->Pictq[index];
    sdl::SDL_mutexP(is->OverlayMutex);
    if (vp->Bmp) {
        const float forced = is->Player->ForcedAspect;
        const float aspect = forced > 0 ? forced : DisplayAspect(SampleAspect(is), vp->Width, vp->Height);
        const TPictureRect fit = FitPicture(aspect, is->Width, is->Height);
        SDL_Rect rect{static_cast<Sint16>(is->XLeft + fit.X), static_cast<Sint16>(is->YTop + fit.Y),
                      static_cast<Uint16>(fit.Width), static_cast<Uint16>(fit.Height)};
        if (is->BandsStale) {
            PaintBands(is, rect);
            is->BandsStale = false;
        }
        sdl::SDL_DisplayYUVOverlay(vp->Bmp, &rect);
    }
    sdl::SDL_mutexV(is->OverlayMutex);
}

bool VideoOpen(PlaybackState* is)
{
    TPlayerCore& player = *is->Player;
    int width = 640, height = 480;
    if (player.ScreenWidth > 0) {
        width = player.ScreenWidth;
        height = player.ScreenHeight;
    } else if (is->VideoSt && is->VideoSt->codecpar->width > 0) {
        ShownFrameSize(is, width, height);
    }
    player.Surface = sdl::SDL_SetVideoMode(width, height, 0, SurfaceFlags);
    if (!player.Surface) {
        player.Log(ltError, "SDL: could not set video mode.");
        return false;
    }
    // A new surface starts black on screen, not with what the window showed before.
    sdl::SDL_FillRect(player.Surface, nullptr, sdl::SDL_MapRGB(player.Surface->format, 0, 0, 0));
    sdl::SDL_UpdateRect(player.Surface, 0, 0, 0, 0);
    is->Width = player.Surface->w;
    is->Height = player.Surface->h;
    is->BandsStale = true;
    return true;
}

void VideoDisplay(PlaybackState* is)
{
    if (!is->Player->Surface && !VideoOpen(is)) return;
    if (is->AudioSt && is->ShowWaveform)
        WaveformDisplay(is);
    else if (is->VideoSt)
        VideoImageDisplay(is, is->ShownIndex);
}

void ShownFrameSize(const PlaybackState* is, int& width, int& height)
{
    width = height = 0;
    if (!is || !is->VideoSt) return;
    width = is->VideoSt->codecpar->width;
    height = is->VideoSt->codecpar->height;
    media::UprightSize(is->VideoOrientation, width, height);
}

namespace {

// The ordinary conversion of a decoded picture into 4:2:0 planes of its own size.
bool ScalePicture(const AVFrame* frame, std::uint8_t* const planes[4], const int lines[4])
{
    std::lock_guard lock(ScalerLock);
    PictureScaler = av::sws_getCachedContext(PictureScaler, frame->width, frame->height,
                                             static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
                                             AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!PictureScaler) return false;
    av::sws_scale(PictureScaler, frame->data, frame->linesize, 0, frame->height, planes, lines);
    return true;
}

// A stored picture to be turned: converted into the kept buffer, then turned into
// the overlay's planes, so that the hook sees the upright picture.
bool TurnIntoOverlay(PlaybackState* is, const AVFrame* frame, const TYuvPlanes& overlay)
{
    const int width = frame->width, height = frame->height;
    const int chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
    const std::size_t luma = static_cast<std::size_t>(width) * height;
    const std::size_t chroma = static_cast<std::size_t>(chromaWidth) * chromaHeight;
    if (is->TurnBuffer.size() != luma + 2 * chroma) is->TurnBuffer.assign(luma + 2 * chroma, 0);
    std::uint8_t* base = is->TurnBuffer.data();
    TYuvPlanes stored{{base, base + luma, base + luma + chroma}, {width, chromaWidth, chromaWidth}};
    std::uint8_t* planes[4] = {stored.Data[0], stored.Data[1], stored.Data[2], nullptr};
    const int lines[4] = {stored.Lines[0], stored.Lines[1], stored.Lines[2], 0};
    if (!ScalePicture(frame, planes, lines)) return false;
    TurnPicture(is->VideoOrientation, stored, width, height, overlay);
    return true;
}

}  // namespace

bool ConvertFrameToOverlay(PlaybackState* is, AVFrame* frame, SDL_Overlay* overlay, double pts)
{
    sdl::SDL_mutexP(is->OverlayMutex);
    sdl::SDL_LockYUVOverlay(overlay);
    // The overlay stores Y, V, U.
    std::uint8_t* planes[4] = {overlay->pixels[0], overlay->pixels[2], overlay->pixels[1], nullptr};
    int lines[4] = {overlay->pitches[0], overlay->pitches[2], overlay->pitches[1], 0};
    bool ok = true;
    if (is->VideoOrientation.Upright()) {
        const THookSource source{frame->data, frame->linesize, frame->format};
        if (!RunFrameHook(is, source, planes, lines, pts, frame->height, frame->width, AV_PIX_FMT_YUV420P))
            ok = ScalePicture(frame, planes, lines);
    } else {
        ok = TurnIntoOverlay(is, frame, TYuvPlanes{{planes[0], planes[1], planes[2]}, {lines[0], lines[1], lines[2]}});
        int width = frame->width, height = frame->height;
        media::UprightSize(is->VideoOrientation, width, height);
        const THookSource source{planes, lines, AV_PIX_FMT_YUV420P};
        // The hook's picture replaces the upright one in place; without a hook it stays.
        if (ok) RunFrameHook(is, source, planes, lines, pts, height, width, AV_PIX_FMT_YUV420P);
    }
    sdl::SDL_UnlockYUVOverlay(overlay);
    sdl::SDL_mutexV(is->OverlayMutex);
    if (!ok) is->Player->Log(ltError, "Cannot initialize the conversion context.");
    return ok;
}

}  // namespace kv::player
