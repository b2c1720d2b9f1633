#include "engine/FFmpegRecords.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include <QGuiApplication>
#include <QPalette>

namespace kv::engine {

namespace {

bool IsBlank(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

std::string Trim(const std::string& text)
{
    std::string::size_type first = 0, last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

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
    std::string trimmed = Trim(text);
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

std::vector<TCustomFFmpeg::TTimeRange> ParseHookRanges(const std::string& text)
{
    std::vector<TCustomFFmpeg::TTimeRange> ranges;
    std::string::size_type start = 0;
    for (;;) {
        auto comma = text.find(',', start);
        std::string item = Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        auto dash = item.find('-');
        std::string first = dash == std::string::npos ? item : item.substr(0, dash);
        std::string second = dash == std::string::npos ? std::string() : item.substr(dash + 1);
        std::int64_t from = ParseInt64OrMinusOne(Trim(first));
        std::int64_t to = ParseInt64OrMinusOne(Trim(second));
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

void ApplyOutputOptions(TCustomFFmpeg& task, const TOutputOptions& o, TTaskEventSink* hookSink)
{
    ApplyTargetPreset(task, o);
    for (const auto& [name, value] : SplitExtOptions(o.ExtOptions))
        if (!IsNewStreamOption(name)) task.SetOption(name, value);

    // Table order matters: crops are checked against the frame size set before
    // them, and microsecond fields come after the millisecond ones.
    auto ifPositive = [&](const char* name, std::int64_t value) {
        if (value > 0) task.SetOption(name, std::to_string(value));
    };
    auto ifNotNegative = [&](const char* name, std::int64_t value) {
        if (value >= 0) task.SetOption(name, std::to_string(value));
    };
    auto ifSet = [&](const char* name, const std::string& value) {
        if (!value.empty()) task.SetOption(name, value);
    };

    task.SetOutputFormat(o.ForceFormat);
    ifPositive("packetsize", o.PacketSize);
    ifPositive("muxrate", o.MuxRate);
    if (o.MuxDelay > 0) task.SetOption("muxdelay", FloatText(o.MuxDelay));
    if (o.MuxPreload > 0) task.SetOption("muxpreload", FloatText(o.MuxPreload));
    ifSet("acodec", o.AudioCodec);
    task.SetOption("an", FlagText(o.DisableAudio));
    ifNotNegative("vol", o.AudioVolume);
    ifPositive("ac", o.AudioChannels);
    ifPositive("ar", o.AudioSampleRate);
    ifPositive("ab", o.AudioBitrate);
    ifPositive("abt", o.AudioBitrateTolerance);
    task.SetOption("alang", o.AudioLanguage);
    task.SetOption("async", std::to_string(o.AudioSyncMethod));
    ifSet("atag", o.AudioTag);
    ifSet("vcodec", o.VideoCodec);
    task.SetOption("vn", FlagText(o.DisableVideo));
    ifSet("r", o.FrameRate);
    ifSet("s", o.FrameSize);
    ifSet("aspect", o.AspectRatio);
    ifNotNegative("croptop", o.CropTop);
    ifNotNegative("cropbottom", o.CropBottom);
    ifNotNegative("cropleft", o.CropLeft);
    ifNotNegative("cropright", o.CropRight);
    ifNotNegative("padtop", o.PadTop);
    ifNotNegative("padbottom", o.PadBottom);
    ifNotNegative("padleft", o.PadLeft);
    ifNotNegative("padright", o.PadRight);
    task.SetOption("padcolor", std::to_string(ResolveColor(o.PadColor)));
    ifPositive("g", o.GOPSize);  // the libraries' name of the group-of-pictures size
    ifPositive("vb", o.VideoBitrate);
    ifPositive("maxrate", o.VideoMaxRate);
    ifPositive("minrate", o.VideoMinRate);
    ifPositive("bt", o.VideoBitrateTolerance);
    ifPositive("bufsize", o.VideoBufSize);
    task.SetOption("vsync", std::to_string(o.VideoSyncMethod));
    ifSet("vtag", o.VideoTag);
    ifSet("vfilters", o.VideoFilters);
    task.SetOption("sn", FlagText(o.DisableSubtitle));
    task.SetOption("slang", o.SubtitleLanguage);
    // "copyts" switches copying on whatever its value, and off is the default.
    if (o.CopyTimestamps) task.SetOption("copyts", "1");
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

    if (o.CustomHook) {
        task.CustomHookHandler = hookSink;
    } else if (o.BeforeHook) {
        task.BeforeHookHandler = hookSink;
    } else {
        task.TimeRanges = ParseHookRanges(o.HookRanges);
        task.TimeRangeCount = static_cast<int>(task.TimeRanges.size());
        task.TimeRangeIndex = 0;
    }
}

void CarryExtOptionsIntoFields(TOutputOptions& o)
{
    for (const auto& [name, value] : SplitExtOptions(o.ExtOptions)) {
        int number = 0;
        if (name == "an") o.DisableAudio = value != "0";
        else if (name == "vn") o.DisableVideo = value != "0";
        else if (name == "sn") o.DisableSubtitle = value != "0";
        else if (name == "copyts") o.CopyTimestamps = true;
        else if (name == "alang") o.AudioLanguage = value;
        else if (name == "slang") o.SubtitleLanguage = value;
        else if (name == "async" && ParseOptionInteger(value, number)) o.AudioSyncMethod = number;
        else if (name == "vsync" && ParseOptionInteger(value, number)) o.VideoSyncMethod = number;
        else if (name == "padcolor") {
            // A value the option refuses stays in the line alone, which reports it.
            try {
                o.PadColor = PadColorValue(value) & 0xFFFFFF;
            } catch (const FFmpegException&) {
            }
        }
    }
}

void ApplyNewStreamOptions(TCustomFFmpeg& task, const TOutputOptions& options)
{
    for (const auto& [name, value] : SplitExtOptions(options.ExtOptions))
        if (IsNewStreamOption(name)) task.SetOption(name, value);
}

}  // namespace kv::engine
