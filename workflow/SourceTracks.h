#pragma once
// The sound and subtitle tracks of a source as the edit dialog offers them: in the
// order the engine's default mapping counts them, each described in a line of words.
#include <string>
#include <vector>

namespace kv::workflow {

struct TSourceTrack {
    std::string Text;      // "2: ger - Kommentar (ac3, 5.1)"
    bool Default = false;  // the track the file marks as the one to play
    bool IsText = false;   // a subtitle track of text (one that can be drawn into the picture)
};

// The file's sound tracks (cover pictures are no tracks); none when it does not open.
std::vector<TSourceTrack> ReadSoundTracks(const std::string& fileName);
// The file's subtitle tracks, then the subtitle files beside it that a conversion adds.
std::vector<TSourceTrack> ReadSubtitleTracks(const std::string& fileName);
// The track the default mapping takes when the user chose none: the one marked
// default, else the first; -1 for no tracks.
int DefaultTrackIndex(const std::vector<TSourceTrack>& tracks);
// The libraries can draw subtitles into pictures (their subtitle filter was built with libass).
bool CanBurnSubtitles();

}  // namespace kv::workflow
