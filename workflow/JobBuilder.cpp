#include "workflow/JobBuilder.h"

#include <algorithm>
#include <cmath>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <filesystem>
#include <system_error>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "media/MyUtils.h"
#include "workflow/IniOptions.h"
#include "workflow/ListError.h"

namespace kv::workflow {

const char* const AudioFileTypes =
    "*.MP3;*.AAC;*.WAV;*.WMA;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;*.TTA;"
    "*.AC3;*.DTS;*.OPUS;";

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
    SetAudioOptions(format, TSourceFacts{}, output);
}

void SetVideoOptions(const TFormatRec& format, int aspectIndex, engine::TOutputOptions& output)
{
    SetVideoOptions(format, aspectIndex, TSourceFacts{}, output);
}

namespace {

void AddLines(engine::TOutputOptions& output, const std::string& lines)
{
    if (lines.empty()) return;
    output.ExtOptions += (output.ExtOptions.empty() ? "" : "\n") + lines;
}

bool IsCopy(const std::string& codec)
{
    return codec == "copy";
}

// An encoder entry as today's choice, or as one of the older tables' names.
TEncoderChoice ChoiceOf(const std::string& entry, std::string (*tableName)(const std::string&))
{
    if (std::optional<TEncoderChoice> choice = ReadEncoderEntry(entry)) return *choice;
    TEncoderChoice plain;
    plain.Codec = tableName(entry);
    return plain;
}

// The list's encoder for a stream "Smart copy" cannot copy: its first entry that converts.
TEncoderChoice ConvertingChoice(const std::string& list, std::string (*tableName)(const std::string&),
                                const std::string& fallback)
{
    std::vector<std::string> entries;
    TIniOptions::SplitList(list, entries);
    for (const std::string& entry : entries) {
        const TEncoderChoice choice = ChoiceOf(entry, tableName);
        if (!IsCopy(choice.Codec)) return choice;
    }
    TEncoderChoice plain;
    plain.Codec = fallback;
    return plain;
}

// The selected encoder, "Smart copy" decided for the source's stream of `codecId`.
TEncoderChoice SelectedChoice(const std::string& list, int index, const std::string& ext, int codecId,
                              std::string (*tableName)(const std::string&), const std::string& fallback)
{
    TEncoderChoice choice = ChoiceOf(ListEntry(list, index), tableName);
    if (choice.Smart && !ContainerTakes(ext, codecId)) return ConvertingChoice(list, tableName, fallback);
    return choice;
}

std::string Lowered(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool IsMovFamily(const std::string& ext)
{
    const std::string e = Lowered(ext);
    return e == ".mp4" || e == ".m4a" || e == ".mov" || e == ".m4v";
}

std::string SizeText(const TFrameSize& size)
{
    return std::to_string(size.Width) + "*" + std::to_string(size.Height);
}

// The frame size of a size entry for the source; empty to keep the source's own.
std::string FrameSizeFor(const std::string& entry, const TSourceFacts& source)
{
    const std::optional<TSizeEntry> size = ReadSizeEntry(entry);
    if (!size || size->Form == TSizeForm::sfFixed) return entry;
    const TFrameSize chosen =
        size->Form == TSizeForm::sfKeep ? KeepSize(source) : FitWithin(source, size->Width, size->Height);
    if (chosen.Width <= 0 || chosen.Height <= 0) return {};
    // The source's own size with square pixels needs no scaling.
    const bool square = source.SarNum <= 0 || source.SarNum == source.SarDen;
    if (chosen.Width == source.Width && chosen.Height == source.Height && (square || size->Form == TSizeForm::sfKeep))
        return {};
    return SizeText(chosen);
}

}  // namespace

void SetAudioOptions(const TFormatRec& format, const TSourceFacts& source, engine::TOutputOptions& output)
{
    const TEncoderChoice choice = SelectedChoice(format.AudioEncoder, format.AudioEncoderValue, format.Ext,
                                                 source.AudioCodecId, AudioCodecName, "aac");
    output.AudioCodec = choice.Codec;
    // A copied stream keeps its rate, channels and loudness: nothing to set.
    if (IsCopy(choice.Codec)) return;
    output.AudioSampleRate = EntryNumber(ListEntry(format.SampleRate, format.SampleRateValue), " Hz");
    output.AudioChannels = ChannelCount(ListEntry(format.Channel, format.ChannelValue));
    const std::string rate = ListEntry(format.AudioBitrate, format.AudioBitrateValue);
    const std::optional<TRateEntry> form = ReadRateEntry(rate);
    if (form && form->Form == TRateForm::rfQuality)
        AddLines(output, AudioQualityLines(choice.Codec, form->Value, output.AudioChannels));
    else output.AudioBitrate = BitsPerSecond(rate);
    output.AudioVolume = format.Volume;
}

void SetVideoOptions(const TFormatRec& format, int aspectIndex, const TSourceFacts& source,
                     engine::TOutputOptions& output)
{
    const TEncoderChoice choice = SelectedChoice(format.VideoEncoder, format.VideoEncoderValue, format.Ext,
                                                 source.VideoCodecId, VideoCodecName, "libx264");
    output.VideoCodec = choice.Codec;
    output.AspectRatio = AspectText(aspectIndex);
    // Subtitle tracks go wherever the container takes them (the engine's default mapping).
    output.DisableSubtitle = false;
    output.TimeStamp = 0;
    const bool hevc = choice.Codec == "libx265" || (IsCopy(choice.Codec) && source.VideoCodecId == AV_CODEC_ID_HEVC);
    // The tag the players of one maker's phones and computers need to play HEVC.
    if (hevc && IsMovFamily(format.Ext)) output.VideoTag = "hvc1";
    // A copied stream keeps its size, rate and bits.
    if (IsCopy(choice.Codec)) return;

    output.FrameSize = FrameSizeFor(ListEntry(format.Resolution, format.ResolutionValue), source);
    TFrameSize size;
    if (std::sscanf(output.FrameSize.c_str(), "%d*%d", &size.Width, &size.Height) != 2) size = KeepSize(source);
    const bool device = IsDeviceProfile(format);
    if (device) AddLines(output, "keepshape=1");
    // Square pixels whatever the file says: the aspect chosen is the frame's, and the
    // picture goes into it in bands.
    const bool square = device || choice.Codec == "flv" || choice.Codec == "h263";
    if (square && !output.AspectRatio.empty() && size.Width > 0 && size.Height > 0) {
        size = AspectFrame(size, output.AspectRatio);
        output.FrameSize = SizeText(size);
    }
    output.FrameRate = FrameRateText(ListEntry(format.Framerate, format.FramerateValue));
    if (output.FrameRate.empty()) {
        output.FrameRate = LegalMpegRate(choice.Codec, source);
        if (output.FrameRate.empty()) output.FrameRate = DeviceRate(choice, source, size);
    }
    const std::string rate = ListEntry(format.VideoBitRate, format.VideoBitRateValue);
    const std::optional<TRateEntry> form = ReadRateEntry(rate);
    int quality = -1;
    if (form && form->Form == TRateForm::rfQuality) quality = form->Value;
    else if (!form) output.VideoBitrate = BitsPerSecond(rate);
    AddLines(output, EncoderLines(choice, quality, source));
}

bool IsDeviceProfile(const TFormatRec& format)
{
    // The words of the name's description, before the file type in brackets.
    const std::string name = Lower(format.Name.substr(0, format.Name.find('(')));
    std::string word;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && std::isalnum(static_cast<unsigned char>(name[i]))) {
            word += name[i];
            continue;
        }
        for (const char* device : {"phone", "phones", "tablet", "tablets", "player", "tv", "device"})
            if (word == device) return true;
        word.clear();
    }
    return false;
}

TFrameSize AspectFrame(const TFrameSize& size, const std::string& aspect)
{
    int x = 0, y = 0;
    if (std::sscanf(aspect.c_str(), "%d:%d", &x, &y) != 2 || x <= 0 || y <= 0 || size.Width <= 0 || size.Height <= 0)
        return size;
    const double ratio = double(x) / y;
    TFrameSize frame = size;
    if (double(size.Width) / size.Height > ratio) frame.Width = static_cast<int>(std::lround(size.Height * ratio / 2)) * 2;
    else frame.Height = static_cast<int>(std::lround(size.Width / ratio / 2)) * 2;
    frame.Width = std::min(size.Width, std::max(2, frame.Width));
    frame.Height = std::min(size.Height, std::max(2, frame.Height));
    return frame;
}

bool NeedsSourceFacts(const TFormatRec& format)
{
    auto selected = [](const std::string& list, int index) {
        std::vector<std::string> entries;
        TIniOptions::SplitList(list, entries);
        return index >= 0 && index < static_cast<int>(entries.size()) ? entries[static_cast<std::size_t>(index)]
                                                                        : std::string();
    };
    const std::string size = selected(format.Resolution, format.ResolutionValue);
    const std::optional<TSizeEntry> sizeForm = ReadSizeEntry(size);
    if (sizeForm && sizeForm->Form != TSizeForm::sfFixed) return true;
    const std::string rate = selected(format.Framerate, format.FramerateValue);
    if (!rate.empty() && FrameRateText(rate).empty()) return true;
    if (ReadRateEntry(selected(format.VideoBitRate, format.VideoBitRateValue))) return true;
    for (const std::string& encoder :
         {selected(format.VideoEncoder, format.VideoEncoderValue), selected(format.AudioEncoder, format.AudioEncoderValue)})
        if (ReadEncoderEntry(encoder)) return true;
    return false;
}

void SetTrackOptions(int soundTrack, int burntSubtitle, engine::TOutputOptions& output)
{
    if (soundTrack >= 0) AddLines(output, "atrack=" + std::to_string(soundTrack));
    if (burntSubtitle >= 0) AddLines(output, "burnsubs=" + std::to_string(burntSubtitle));
}

void SetContainerOptions(const std::string& ext, engine::TOutputOptions& output)
{
    if (IsMovFamily(ext)) AddLines(output, "movflags=+faststart");
}

std::optional<TSizeTarget> SizeTarget(const TFormatRec& format, long long durationMs, int audioBitRate,
                                      const TFrameSize& frameSize, const TSourceFacts& source)
{
    const std::optional<TRateEntry> form = ReadRateEntry(ListEntry(format.VideoBitRate, format.VideoBitRateValue));
    if (!form || form->Form != TRateForm::rfSize) return std::nullopt;
    TSizeTarget target;
    target.Megabytes = form->Value;
    const long long rate = SizeVideoBitRate(form->Value, durationMs, audioBitRate);
    if (rate < MinSizeVideoBitRate) {
        target.Failure = "Too long for " + std::to_string(form->Value) + " MB: its picture would get " +
                         std::to_string(std::max(0LL, rate) / 1000) + " kb/s, less than the " +
                         std::to_string(MinSizeVideoBitRate / 1000) + " kb/s it needs at the least.";
        return target;
    }
    // Beyond about half a bit per pixel more bits buy no better picture.
    const double fps = source.RateNum > 0 && source.RateDen > 0 ? double(source.RateNum) / source.RateDen : 30.0;
    const double pixels = frameSize.Width > 0 && frameSize.Height > 0 ? double(frameSize.Width) * frameSize.Height
                                                                      : 1920.0 * 1080.0;
    const long long ceiling = std::min<long long>(MaxSizeVideoBitRate, std::max(500000LL, static_cast<long long>(pixels * fps / 2)));
    target.VideoBitRate = std::min(rate, ceiling);
    if (rate > ceiling) target.Note = "too short for " + std::to_string(form->Value) + " MB at the lowest quality";
    return target;
}

}  // namespace kv::workflow
