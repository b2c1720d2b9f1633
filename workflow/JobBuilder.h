#pragma once
// Turning a profile's selected entries into the engine's settings, and picking
// free output names. Pure functions: the controller applies them to the records.
#include <functional>
#include <stdexcept>
#include <string>

#include "engine/FFmpegRecords.h"

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

}  // namespace kv::workflow
