#pragma once
// A look into the refresh cycle for measurements (the benchmark): called on the
// play thread right after each picture went to the screen.
namespace kv::player {

// `pts`: the picture's time; `audioClock`: the sound's clock at that moment (only
// meaningful when `hasAudio`). Seconds.
using TPictureShownObserver = void (*)(double pts, double audioClock, bool hasAudio);

// Null stops observing.
void SetPictureShownObserver(TPictureShownObserver observer);

}  // namespace kv::player
