#include "engine/FFmpegRecords.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>

#include <QGuiApplication>
#include <QPalette>

#include "engine/FFmpeg.h"
#include "media/MyUtils.h"

namespace kv::engine {

namespace {

bool IsNewStreamOption(const std::string& name)
{
    return name == "newvideo" || name == "newaudio" || name == "newsubtitle";
}

// Seconds with six decimals: the duration syntax of the option language, exact to
// the microsecond.
std::string DurationText(std::int64_t microseconds)
{
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(microseconds / 1000000),
                  static_cast<long long>(microseconds % 1000000));
    return text;
}

// Independent of the process locale, which a Qt application sets from the environment.
std::string FloatText(float value)
{
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string FlagText(bool value)
{
    return value ? "1" : "0";
}

// A value with the high byte set names a system colour; it is resolved through the
// application palette when there is one, else it reads as black.
std::int32_t ResolveColor(std::int32_t color)
{
    if ((static_cast<std::uint32_t>(color) & 0xFF000000u) == 0) return color;
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app) return 0;
    QPalette::ColorRole role = QPalette::Window;
    switch (color & 0xFF) {
    case 5: role = QPalette::Base; break;              // window background
    case 8: role = QPalette::Text; break;              // window text
    case 13: role = QPalette::Highlight; break;
    case 14: role = QPalette::HighlightedText; break;
    case 15: role = QPalette::Button; break;           // button face
    case 18: role = QPalette::ButtonText; break;
    case 21: role = QPalette::Shadow; break;
    default: break;
    }
    QColor c = QGuiApplication::palette().color(role);
    return c.red() | (c.green() << 8) | (c.blue() << 16);
}

std::int64_t ParseInt64OrMinusOne(const std::string& text)
{
    std::int64_t value = -1;
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') ++begin;
    auto result = std::from_chars(begin, end, value);
    if (result.ec != std::errc() || result.ptr != end || begin == end) return -1;
    return value;
}

// A count of milliseconds beyond the microseconds a 64-bit number holds saturates:
// a range that ends there lasts to the end of any file.
std::int64_t MillisecondsToMicroseconds(std::int64_t ms)
{
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 1000;
    if (ms > limit) return std::numeric_limits<std::int64_t>::max();
    if (ms < -limit) return std::numeric_limits<std::int64_t>::min();
    return ms * 1000;
}

std::string FixedText(const char* field, std::size_t size)
{
    return std::string(field, strnlen(field, size));
}

void ApplyTargetPreset(TCustomFFmpeg& task, const TOutputOptions& options)
{
    static const char* const types[] = {"", "vcd", "svcd", "dvd"};
    if (options.Target < 1 || options.Target > 3) return;
    const char* norm = options.TargetNorm == 1 ? "pal" : options.TargetNorm == 2 ? "ntsc" : "auto";
    task.ApplyTarget(types[options.Target], norm, options.TargetDefaultNorm == 1 ? "pal" : "ntsc");
}

void SetMetadata(TCustomFFmpeg& task, const char* key, const std::string& value)
{
    task.SetOption("metadata", std::string(key) + "=" + value);
}

}  // namespace

void InitInputOptions(TInputOptions& options)
{
    options = TInputOptions{};
}

void InitOutputOptions(TOutputOptions& options)
{
    options = TOutputOptions{};
}

std::vector<std::pair<std::string, std::string>> SplitExtOptions(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> result;
    std::string trimmed = media::Trim(text);
    if (trimmed.empty()) return result;
    std::string normal;
    normal.reserve(trimmed.size());
    for (std::string::size_type i = 0; i < trimmed.size(); ++i) {
        if (trimmed[i] == '\r') {
            normal += '\n';
            if (i + 1 < trimmed.size() && trimmed[i + 1] == '\n') ++i;
        } else {
            normal += trimmed[i];
        }
    }
    std::string::size_type start = 0;
    for (;;) {
        auto lf = normal.find('\n', start);
        std::string line = normal.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
        auto eq = line.find('=');
        if (eq == std::string::npos)
            result.emplace_back(line, std::string());
        else
            result.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    return result;
}

std::vector<TTimeRange> ParseHookRanges(const std::string& text)
{
    std::vector<TTimeRange> ranges;
    std::string::size_type start = 0;
    for (;;) {
        auto comma = text.find(',', start);
        std::string item = media::Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        auto dash = item.find('-');
        std::string first = dash == std::string::npos ? item : item.substr(0, dash);
        std::string second = dash == std::string::npos ? std::string() : item.substr(dash + 1);
        std::int64_t from = ParseInt64OrMinusOne(media::Trim(first));
        std::int64_t to = ParseInt64OrMinusOne(media::Trim(second));
        if (to >= from && to >= 0)
            ranges.push_back({MillisecondsToMicroseconds(from), MillisecondsToMicroseconds(to)});
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::stable_sort(ranges.begin(), ranges.end(),
                     [](const auto& a, const auto& b) { return a.End < b.End; });
    return ranges;
}

std::string TimeStampText(double localDays)
{
    // "now" lets the engine stamp the output (and a source's own date win).
    if (localDays == 0) return "now";
    // Days since 1899-12-30 in local time; mktime applies the bias valid at that date.
    auto localSeconds = static_cast<std::time_t>(std::llround((localDays - 25569.0) * 86400.0));
    std::tm broken{};
    gmtime_r(&localSeconds, &broken);
    broken.tm_isdst = -1;
    const std::time_t utc = std::mktime(&broken);
    std::tm parts{};
    gmtime_r(&utc, &parts);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

void ApplyInputOptions(TCustomFFmpeg& task, const TInputOptions& options)
{
    for (const auto& [name, value] : SplitExtOptions(options.ExtOptions))
        if (!IsNewStreamOption(name)) task.SetOption(name, value);
    task.SetInputFormat(options.ForceFormat);
    if (options.StartTime > 0) task.SetOption("ss", DurationText(std::int64_t(options.StartTime) * 1000));
    if (options.StartTimeUS > 0) task.SetOption("ss", DurationText(options.StartTimeUS));
    if (options.ProgramID >= 0) task.SetOption("programid", std::to_string(options.ProgramID));
}

namespace {

// One field of the output record and the option it sets. `Value` gives the option's
// text, or nothing when the field is not set. A field with `Carry` is set whatever
// it holds, after the extra option lines: an extra line of its name is carried into
// the field first (CarryExtOptionsIntoFields), so that the line is not overruled.
struct TFieldOption {
    const char* Name;
    std::optional<std::string> (*Value)(const TOutputOptions&);
    void (*Carry)(TOutputOptions&, const std::string&);
};

template <auto Field>
std::optional<std::string> IfPositive(const TOutputOptions& o)
{
    if (o.*Field > 0) return std::to_string(o.*Field);
    return std::nullopt;
}
template <auto Field>
std::optional<std::string> IfNotNegative(const TOutputOptions& o)
{
    if (o.*Field >= 0) return std::to_string(o.*Field);
    return std::nullopt;
}
template <auto Field>
std::optional<std::string> SecondsIfPositive(const TOutputOptions& o)
{
    if (o.*Field > 0) return FloatText(o.*Field);
    return std::nullopt;
}
template <auto Field>
std::optional<std::string> IfSet(const TOutputOptions& o)
{
    if (!(o.*Field).empty()) return o.*Field;
    return std::nullopt;
}
template <auto Field>
std::optional<std::string> Flag(const TOutputOptions& o)
{
    return FlagText(o.*Field);
}
template <auto Field>
std::optional<std::string> Text(const TOutputOptions& o)
{
    return o.*Field;
}
template <auto Field>
std::optional<std::string> Number(const TOutputOptions& o)
{
    return std::to_string(o.*Field);
}
std::optional<std::string> PadColorText(const TOutputOptions& o)
{
    return std::to_string(ResolveColor(o.PadColor));
}
// "copyts" switches copying on whatever its value, and off is the default.
std::optional<std::string> OnIfTrue(const TOutputOptions& o)
{
    if (o.CopyTimestamps) return std::string("1");
    return std::nullopt;
}

template <auto Field>
void CarryFlag(TOutputOptions& o, const std::string& value)
{
    o.*Field = value != "0";
}
template <auto Field>
void CarryText(TOutputOptions& o, const std::string& value)
{
    o.*Field = value;
}
template <auto Field>
void CarryNumber(TOutputOptions& o, const std::string& value)
{
    int number = 0;
    if (ParseOptionInteger(value, number)) o.*Field = number;
}
void CarryPadColor(TOutputOptions& o, const std::string& value)
{
    // A value the option refuses stays in the line alone, which reports it.
    try {
        o.PadColor = PadColorValue(value) & 0xFFFFFF;
    } catch (const FFmpegException&) {
    }
}
void CarryOn(TOutputOptions& o, const std::string&)
{
    o.CopyTimestamps = true;
}

using T = TOutputOptions;
// Table order matters: crops are checked against the frame size set before them.
constexpr TFieldOption FieldOptions[] = {
    {"packetsize", IfPositive<&T::PacketSize>, nullptr},
    {"muxrate", IfPositive<&T::MuxRate>, nullptr},
    {"muxdelay", SecondsIfPositive<&T::MuxDelay>, nullptr},
    {"muxpreload", SecondsIfPositive<&T::MuxPreload>, nullptr},
    {"acodec", IfSet<&T::AudioCodec>, nullptr},
    {"an", Flag<&T::DisableAudio>, CarryFlag<&T::DisableAudio>},
    {"vol", IfNotNegative<&T::AudioVolume>, nullptr},
    {"ac", IfPositive<&T::AudioChannels>, nullptr},
    {"ar", IfPositive<&T::AudioSampleRate>, nullptr},
    {"ab", IfPositive<&T::AudioBitrate>, nullptr},
    {"abt", IfPositive<&T::AudioBitrateTolerance>, nullptr},
    {"alang", Text<&T::AudioLanguage>, CarryText<&T::AudioLanguage>},
    {"async", Number<&T::AudioSyncMethod>, CarryNumber<&T::AudioSyncMethod>},
    {"atag", IfSet<&T::AudioTag>, nullptr},
    {"vcodec", IfSet<&T::VideoCodec>, nullptr},
    {"vn", Flag<&T::DisableVideo>, CarryFlag<&T::DisableVideo>},
    {"r", IfSet<&T::FrameRate>, nullptr},
    {"s", IfSet<&T::FrameSize>, nullptr},
    {"aspect", IfSet<&T::AspectRatio>, nullptr},
    {"croptop", IfNotNegative<&T::CropTop>, nullptr},
    {"cropbottom", IfNotNegative<&T::CropBottom>, nullptr},
    {"cropleft", IfNotNegative<&T::CropLeft>, nullptr},
    {"cropright", IfNotNegative<&T::CropRight>, nullptr},
    {"padtop", IfNotNegative<&T::PadTop>, nullptr},
    {"padbottom", IfNotNegative<&T::PadBottom>, nullptr},
    {"padleft", IfNotNegative<&T::PadLeft>, nullptr},
    {"padright", IfNotNegative<&T::PadRight>, nullptr},
    {"padcolor", PadColorText, CarryPadColor},
    {"g", IfPositive<&T::GOPSize>, nullptr},   // the libraries' name of the group-of-pictures size
    {"vb", IfPositive<&T::VideoBitrate>, nullptr},
    {"maxrate", IfPositive<&T::VideoMaxRate>, nullptr},
    {"minrate", IfPositive<&T::VideoMinRate>, nullptr},
    {"bt", IfPositive<&T::VideoBitrateTolerance>, nullptr},
    {"bufsize", IfPositive<&T::VideoBufSize>, nullptr},
    {"vsync", Number<&T::VideoSyncMethod>, CarryNumber<&T::VideoSyncMethod>},
    {"vtag", IfSet<&T::VideoTag>, nullptr},
    {"vfilters", IfSet<&T::VideoFilters>, nullptr},
    {"sn", Flag<&T::DisableSubtitle>, CarryFlag<&T::DisableSubtitle>},
    {"slang", Text<&T::SubtitleLanguage>, CarryText<&T::SubtitleLanguage>},
    {"copyts", OnIfTrue, CarryOn},
};

// Times (microsecond fields after the millisecond ones) and the tags.
void ApplyTimesAndTags(TCustomFFmpeg& task, const TOutputOptions& o)
{
    if (o.StartTime > 0) task.SetOption("ss", DurationText(std::int64_t(o.StartTime) * 1000));
    if (o.StartTimeUS > 0) task.SetOption("ss", DurationText(o.StartTimeUS));
    if (o.Duration > 0) task.SetOption("t", DurationText(std::int64_t(o.Duration) * 1000));
    if (o.DurationUS > 0) task.SetOption("t", DurationText(o.DurationUS));
    if (o.TimeStamp >= 0) task.SetOption("timestamp", TimeStampText(o.TimeStamp));
    if (o.Year > 0) SetMetadata(task, "year", std::to_string(o.Year));
    if (o.Track > 0) SetMetadata(task, "track", std::to_string(o.Track));
    if (o.Title[0]) SetMetadata(task, "title", FixedText(o.Title, sizeof o.Title));
    if (o.Author[0]) SetMetadata(task, "author", FixedText(o.Author, sizeof o.Author));
    if (o.Copyright[0]) SetMetadata(task, "copyright", FixedText(o.Copyright, sizeof o.Copyright));
    if (o.Comment[0]) SetMetadata(task, "comment", FixedText(o.Comment, sizeof o.Comment));
    if (o.Album[0]) SetMetadata(task, "album", FixedText(o.Album, sizeof o.Album));
    if (o.Genre[0]) SetMetadata(task, "genre", FixedText(o.Genre, sizeof o.Genre));
}

}  // namespace

void ApplyOutputOptions(TCustomFFmpeg& task, const TOutputOptions& o, TTaskEventSink* hookSink)
{
    ApplyTargetPreset(task, o);
    for (const auto& [name, value] : SplitExtOptions(o.ExtOptions))
        if (!IsNewStreamOption(name)) task.SetOption(name, value);
    task.SetOutputFormat(o.ForceFormat);
    for (const TFieldOption& field : FieldOptions)
        if (const std::optional<std::string> value = field.Value(o)) task.SetOption(field.Name, *value);
    ApplyTimesAndTags(task, o);
    if (o.CustomHook) {
        task.CustomHookHandler = hookSink;
    } else if (o.BeforeHook) {
        task.BeforeHookHandler = hookSink;
    } else {
        task.TimeRanges = ParseHookRanges(o.HookRanges);
        task.TimeRangeIndex = 0;
    }
}

void CarryExtOptionsIntoFields(TOutputOptions& o)
{
    for (const auto& [name, value] : SplitExtOptions(o.ExtOptions))
        for (const TFieldOption& field : FieldOptions)
            if (field.Carry && name == field.Name) field.Carry(o, value);
}

void ApplyNewStreamOptions(TCustomFFmpeg& task, const TOutputOptions& options)
{
    for (const auto& [name, value] : SplitExtOptions(options.ExtOptions))
        if (IsNewStreamOption(name)) task.SetOption(name, value);
}

}  // namespace kv::engine
