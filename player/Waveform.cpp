// A file with sound but no picture shows its sound as a waveform, one band per
// channel, drawn from the samples that are playing now.
#include <climits>

#include "player/PlaybackState.h"
#include "player/PlayerCore.h"

namespace kv::player {

namespace {

int Wrap(int index)
{
    index %= SampleArraySize;
    return index < 0 ? index + SampleArraySize : index;
}

// The index of the sample to draw first: as far back as the device still has to
// play, moved to a rising zero crossing so that the picture stands still.
int WaveformStart(PlaybackState* is, int channels)
{
    if (is->Paused) return is->LastIStart;
    const int bytesPerFrame = 2 * channels;
    std::int64_t delay = (is->AudioBufSize - is->AudioBufIndex) / bytesPerFrame;
    const std::int64_t lastCallback = is->Player->LastAudioCallback;
    if (lastCallback != 0) delay += (NowMicroseconds() - lastCallback) * is->AudioRate / 1000000;
    delay -= is->Width / 2;
    if (delay < is->Width) delay = is->Width;
    const int start = Wrap(static_cast<int>(is->SampleArrayIndex - (delay * channels) % SampleArraySize));
    int best = INT_MIN, x = start;
    const std::int16_t* s = is->SampleArray;
    for (int i = 0; i < 1000; i += channels) {
        const int j = Wrap(start - i);
        const int a = s[j];
        const int b = s[Wrap(j + 4 * channels)];
        const int c = s[Wrap(j + 5 * channels)];
        const int d = s[Wrap(j + 9 * channels)];
        if (a - d > best && (b ^ c) < 0) {
            best = a - d;
            x = j;
        }
    }
    is->LastIStart = x;
    return x;
}

void FillRect(SDL_Surface* surface, int x, int y, int w, int h, Uint32 colour)
{
    SDL_Rect r{static_cast<Sint16>(x), static_cast<Sint16>(y), static_cast<Uint16>(w), static_cast<Uint16>(h)};
    sdl::SDL_FillRect(surface, &r, colour);
}

}  // namespace

void UpdateSampleDisplay(PlaybackState* is, const std::int16_t* samples, int size)
{
    int count = size / 2;
    int index = is->SampleArrayIndex;
    while (count > 0) {
        int n = SampleArraySize - index;
        if (n > count) n = count;
        for (int i = 0; i < n; ++i) is->SampleArray[index + i] = samples[i];
        samples += n;
        index += n;
        if (index >= SampleArraySize) index = 0;
        count -= n;
    }
    is->SampleArrayIndex = index;
}

void WaveformDisplay(PlaybackState* is)
{
    SDL_Surface* surface = is->Player->Surface;
    const int channels = is->AudioChannels > 0 ? is->AudioChannels : 1;
    const int start = WaveformStart(is, channels);
    const Uint32 black = sdl::SDL_MapRGB(surface->format, 0, 0, 0);
    const Uint32 white = sdl::SDL_MapRGB(surface->format, 0xff, 0xff, 0xff);
    FillRect(surface, is->XLeft, is->YTop, is->Width, is->Height, black);

    const int h = is->Height / channels;
    const int h2 = (h * 9) / 20;
    for (int ch = 0; ch < channels; ++ch) {
        int i = start + ch;
        const int y1 = is->YTop + ch * h + h / 2;
        for (int x = 0; x < is->Width; ++x) {
            int y = (is->SampleArray[Wrap(i)] * h2) >> 15;
            int ys = y1;
            if (y < 0) {
                y = -y;
                ys = y1 - y;
            }
            FillRect(surface, is->XLeft + x, ys, 1, y, white);
            i += channels;
            if (i >= SampleArraySize) i -= SampleArraySize;
        }
    }
    for (int ch = 1; ch < channels; ++ch) FillRect(surface, is->XLeft, is->YTop + ch * h, is->Width, 1, white);
    sdl::SDL_UpdateRect(surface, is->XLeft, is->YTop, is->Width, is->Height);
}

}  // namespace kv::player
