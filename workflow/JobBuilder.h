#pragma once
// Turning a profile's selected entries into the engine's settings, and picking
// free output names. Pure functions: the controller applies them to the records.
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/FFmpegRecords.h"
#include "workflow/EntryForms.h"

namespace kv::workflow {

struct TFormatRec;

// File types whose outputs carry no video (and get no preview while converting).
extern const char* const AudioFileTypes;

// True when the extension (with its dot, any case) occurs in AudioFileTypes.
bool IsAudioFileType(const std::string& ext);

// The engine's codec names for the encoder entries of the settings dialog; any
// entry not in the tables is passed on lower-cased.
std::string AudioCodecName(const std::string& entry);
std::string VideoCodecName(const std::string& entry);

// "4:3", "16:9", "37:20", "47:20" for 1..4; empty (keep the source's) otherwise.
std::string AspectText(int aspectIndex);

// An entry that does not read as the number it must be.
class EConvertError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The entry at `index` of a comma-separated list; EListError when there is none.
std::string ListEntry(const std::string& list, int index);
// The decimal number an entry begins with, read from the text before `suffix`
// (" Hz", " kbps", " fps"). Blanks around the number are allowed and the suffix may
// follow without its blank ("256kbps"); anything else raises EConvertError.
int EntryNumber(const std::string& entry, const std::string& suffix);
// The channel count a "Channel" entry begins with ("1 Channel Mono", " 2 Channels Stereo").
int ChannelCount(const std::string& entry);
// The frame-rate text of a "Framerate" entry ("25 fps" -> "25", "29.97 fps" -> "29.97");
// empty for "Keep original frame rate" in any case.
std::string FrameRateText(const std::string& entry);

// "<folder>/<source name>.<ext>", or with "_1", "_2", ... before the extension,
// the first name that neither exists on disk nor `isUsed` reports. `ext` carries its dot.
std::string MakeOutputName(const std::string& source, const std::string& folder, const std::string& ext,
                           const std::function<bool(const std::string&)>& isUsed);

// The profile's sound settings into `output`: sample rate, bit rate (bits per
// second), codec, channels and volume. Raises EListError or EConvertError for an
// entry that is missing or does not read.
void SetAudioOptions(const TFormatRec& format, engine::TOutputOptions& output);
// The profile's picture settings and the file's display aspect into `output`.
void SetVideoOptions(const TFormatRec& format, int aspectIndex, engine::TOutputOptions& output);

// The same for a source whose facts are known: the entries that follow the source
// (kept or fitted sizes, smart copy, legal and device rates, 10-bit from 10-bit).
void SetAudioOptions(const TFormatRec& format, const TSourceFacts& source, engine::TOutputOptions& output);
void SetVideoOptions(const TFormatRec& format, int aspectIndex, const TSourceFacts& source,
                     engine::TOutputOptions& output);
// Profiles made for a kind of device (phones, tablets, portable players, TVs): their
// players show square pixels only, so the picture keeps its shape in black bands.
bool IsDeviceProfile(const TFormatRec& format);
// The largest frame of `aspect` ("4:3") within `size`, even-sided; `size` itself
// when the aspect does not read.
TFrameSize AspectFrame(const TFrameSize& size, const std::string& aspect);
// True when the profile's selected entries follow the source, so its facts are needed.
bool NeedsSourceFacts(const TFormatRec& format);
// The file's own track choices (the sound track for outputs of one track, the
// subtitle track drawn into the picture); -1 leaves the default mapping's choice.
void SetTrackOptions(int soundTrack, int burntSubtitle, engine::TOutputOptions& output);
// What the container of `ext` wants whatever the codecs: MP4, M4A and MOV with the
// index at the front, so that they play while they download.
void SetContainerOptions(const std::string& ext, engine::TOutputOptions& output);

// A "Size N MB" entry: the picture's bit rate for the section, or why there is none.
struct TSizeTarget {
    int Megabytes = 0;
    long long VideoBitRate = 0;  // bits per second; 0 when the file cannot fit
    std::string Note;            // the file will be smaller than asked, and why
    std::string Failure;         // why the file cannot be made that small
};
// Nothing when the selected rate entry is not a size. `frameSize` and the source's
// rate bound the bit rate above: beyond them more bits buy no better picture.
std::optional<TSizeTarget> SizeTarget(const TFormatRec& format, long long durationMs, int audioBitRate,
                                      const TFrameSize& frameSize, const TSourceFacts& source);

}  // namespace kv::workflow
