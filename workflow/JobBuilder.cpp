#include "workflow/JobBuilder.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

#include "media/MyUtils.h"
#include "workflow/IniOptions.h"
#include "workflow/ListError.h"

namespace kv::workflow {

const char* const AudioFileTypes =
    "*.MP3;*.AAC;*.WAV;*.WMA;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;*.TTA;"
    "*.AC3;*.DTS;";

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

struct TNamePair {
    const char* Entry;
    const char* Codec;
};

const TNamePair AudioNames[] = {
    {"amr_nb", "libamr_nb"},   {"aac", "libfaac"},         {"wav", "pcm_s16le"}, {"mp3 audio", "libmp3lame"},
    {"ac-3 audio", "ac3"},     {"mpeg-2 audio", "mp2"},    {"ogg", "vorbis"},
};

const TNamePair VideoNames[] = {
    {"h.263 video", "h263"},          {"h.264", "libx264"},              {"xvid", "libxvid"},
    {"mpeg-1 video", "mpeg1video"},   {"mpeg-2 video", "mpeg2video"},    {"flv video", "flv"},
};

template <std::size_t N>
std::string MapName(const TNamePair (&table)[N], const std::string& entry)
{
    const std::string name = Lower(entry);
    for (const TNamePair& p : table)
        if (name == p.Entry) return p.Codec;
    return name;
}

bool ExistsOnDisk(const std::string& path)
{
    std::error_code ec;
    // A dangling link counts as taken: the muxer would write through it.
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

}  // namespace

bool IsAudioFileType(const std::string& ext)
{
    if (ext.empty()) return false;
    return std::string(AudioFileTypes).find(Upper(ext)) != std::string::npos;
}

std::string AudioCodecName(const std::string& entry)
{
    return MapName(AudioNames, entry);
}

std::string VideoCodecName(const std::string& entry)
{
    return MapName(VideoNames, entry);
}

std::string AspectText(int aspectIndex)
{
    switch (aspectIndex) {
    case 1: return "4:3";
    case 2: return "16:9";
    case 3: return "37:20";
    case 4: return "47:20";
    default: return {};
    }
}

std::string ListEntry(const std::string& list, int index)
{
    std::vector<std::string> entries;
    TIniOptions::SplitList(list, entries);
    if (index < 0 || index >= static_cast<int>(entries.size())) throw EListError(index);
    return entries[static_cast<std::size_t>(index)];
}

int EntryNumber(const std::string& entry, const std::string& suffix)
{
    std::string text = TextBefore(entry, suffix);
    // The same suffix written without its blank ("256kbps").
    const std::string bare = media::TrimSpacesAndTabs(suffix);
    text = media::TrimSpacesAndTabs(text);
    if (!bare.empty() && text.size() > bare.size() &&
        Lower(text.substr(text.size() - bare.size())) == Lower(bare))
        text = media::TrimSpacesAndTabs(text.substr(0, text.size() - bare.size()));
    std::size_t pos = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) pos = 1;
    const bool digitsOnly = pos < text.size() && std::all_of(text.begin() + static_cast<std::ptrdiff_t>(pos), text.end(),
                                                              [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digitsOnly || text.size() > 10) throw EConvertError("'" + entry + "' is not a valid integer value");
    const long long value = std::stoll(text);
    if (value < INT32_MIN || value > INT32_MAX) throw EConvertError("'" + entry + "' is not a valid integer value");
    return static_cast<int>(value);
}

int ChannelCount(const std::string& entry)
{
    // The count is the entry's first character; a blank after the list's comma is allowed.
    const std::string text = media::TrimSpacesAndTabs(entry);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        throw EConvertError("'" + entry + "' is not a valid integer value");
    return text[0] - '0';
}

std::string FrameRateText(const std::string& entry)
{
    if (Lower(media::TrimSpacesAndTabs(entry)) == "keep original frame rate") return {};
    return Lower(media::TrimSpacesAndTabs(TextBefore(entry, " fps")));
}

std::string MakeOutputName(const std::string& source, const std::string& folder, const std::string& ext,
                           const std::function<bool(const std::string&)>& isUsed)
{
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    const std::string stem = std::filesystem::path(source).stem().string();
    std::string candidate = dir + stem + ext;
    for (int counter = 1; ExistsOnDisk(candidate) || (isUsed && isUsed(candidate)); ++counter)
        candidate = dir + stem + "_" + std::to_string(counter) + ext;
    return candidate;
}

namespace {

// A "kbps" entry in bits per second; a rate beyond the 32-bit field is refused.
int BitsPerSecond(const std::string& entry)
{
    const int kbps = EntryNumber(entry, " kbps");
    if (kbps > INT32_MAX / 1000 || kbps < INT32_MIN / 1000)
        throw EConvertError("'" + entry + "' is not a valid bit rate");
    return kbps * 1000;
}

}  // namespace

void SetAudioOptions(const TFormatRec& format, engine::TOutputOptions& output)
{
    output.AudioSampleRate = EntryNumber(ListEntry(format.SampleRate, format.SampleRateValue), " Hz");
    output.AudioBitrate = BitsPerSecond(ListEntry(format.AudioBitrate, format.AudioBitrateValue));
    output.AudioCodec = AudioCodecName(ListEntry(format.AudioEncoder, format.AudioEncoderValue));
    output.AudioChannels = ChannelCount(ListEntry(format.Channel, format.ChannelValue));
    output.AudioVolume = format.Volume;
}

void SetVideoOptions(const TFormatRec& format, int aspectIndex, engine::TOutputOptions& output)
{
    output.VideoCodec = VideoCodecName(ListEntry(format.VideoEncoder, format.VideoEncoderValue));
    output.FrameRate = FrameRateText(ListEntry(format.Framerate, format.FramerateValue));
    output.FrameSize = ListEntry(format.Resolution, format.ResolutionValue);
    output.AspectRatio = AspectText(aspectIndex);
    output.VideoBitrate = BitsPerSecond(ListEntry(format.VideoBitRate, format.VideoBitRateValue));
    output.DisableSubtitle = true;
    output.TimeStamp = 0;
}

}  // namespace kv::workflow
