#pragma once
// The default mapping, used when the user named no streams: every sound and subtitle
// track the output's container can hold, the track marked default where it holds one,
// and never a cover picture in place of the source's video.
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "engine/FFmpeg.h"

namespace kv::engine {

// A picture stored with the sound (cover art), which is no video of the source.
bool IsCoverArt(const AVStream* st);
// The default mapping applies: no stream maps and no program chosen.
bool UsesDefaultMapping(const TCustomFFmpeg& task);
// Containers people play with a choice of sound and subtitle tracks.
bool HoldsSeveralTracks(const AVOutputFormat* format);

// The output's sound streams: one per source sound track where the container holds
// several, else one fed by the track marked default (or the first). Each is made with
// the same pending audio settings.
void CreateSoundStreams(TCustomFFmpeg& task, AVFormatContext* oc);
// The output's subtitle streams: text tracks where the container takes text (as they
// are when it takes their codec, else in its own text codec), bitmap tracks where it
// takes them as they are. Returns the text of every track left out, for the log.
void CreateSubtitleStreams(TCustomFFmpeg& task, AVFormatContext* oc, bool wanted);

// The subtitle track drawn into the picture: the task's choice when it is text and
// the output's picture is encoded anew (with the libraries' renderer at hand).
struct TBurntSubtitle {
    const AVStream* Stream = nullptr;   // null: nothing is drawn
    int File = -1;                      // its input
    int IndexInFile = 0;                // among that input's subtitle streams
};
TBurntSubtitle BurntSubtitle(const TCustomFFmpeg& task, const AVFormatContext* oc);

// Subtitle files beside a single source with its name ("film.srt", "film.en.srt"),
// opened as further inputs on the source's time line (so moved by its trim).
void OpenSideCarSubtitles(TCustomFFmpeg& task);
// Those files of `source`, in the order they become tracks after the source's own.
std::vector<std::string> SideCarSubtitleFiles(const std::string& source);

// The tracks of the source that the output leaves out, one line each ("1 subtitle
// track not kept: the container takes none"), for the log and the file's outcome.
std::vector<std::string> DroppedTrackLines(const TCustomFFmpeg& task, const AVFormatContext* oc);

}  // namespace kv::engine
