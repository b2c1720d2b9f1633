// The option language: the dispatcher and one setter per option (or per family of
// options). Names are compared case-sensitively in table order; every name the table
// does not hold goes to the generic option holder.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>

#include "engine/FFmpeg.h"
#include "media/MyUtils.h"
#include "engine/TextFormat.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/MyUtilStubs.h"
#include "media/SwScaleStubs.h"

namespace kv::engine {

namespace {

using THandler = void (*)(TCustomFFmpeg& task, const std::string& name, const std::string& value);

struct TOptionEntry {
    const char* Name;
    THandler Handler;
};

// ---------------------------------------------------------------------------
// Text and number helpers

// Whole-text integer conversion: optional sign, decimal or "0x"/"$" hexadecimal,
// surrounding blanks allowed. Anything else, or a value out of range, is an error
// that names the text.
template <typename T>
bool TryParseInteger(const std::string& text, T& result)
{
    const std::string t = media::Trim(text);
    std::size_t pos = 0;
    bool negative = false;
    if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) negative = t[pos++] == '-';
    int base = 10;
    if (t.compare(pos, 2, "0x") == 0 || t.compare(pos, 2, "0X") == 0) {
        base = 16;
        pos += 2;
    } else if (t.compare(pos, 1, "$") == 0) {
        base = 16;
        pos += 1;
    }
    if (pos >= t.size()) return false;
    std::uint64_t magnitude = 0;
    const char* end = t.data() + t.size();
    auto [ptr, ec] = std::from_chars(t.data() + pos, end, magnitude, base);
    if (ec != std::errc() || ptr != end) return false;
    using Limits = std::numeric_limits<T>;
    if (negative) {
        if (magnitude > std::uint64_t(Limits::max()) + 1) return false;
        result = magnitude == std::uint64_t(Limits::max()) + 1 ? Limits::min() : -static_cast<T>(magnitude);
    } else {
        if (magnitude > std::uint64_t(Limits::max())) return false;
        result = static_cast<T>(magnitude);
    }
    return true;
}

int ParseInt(const std::string& text)
{
    int value = 0;
    if (!TryParseInteger(text, value)) throw FFmpegException("'" + text + "' is not a valid integer value");
    return value;
}

std::int64_t ParseInt64(const std::string& text)
{
    std::int64_t value = 0;
    if (!TryParseInteger(text, value)) throw FFmpegException("'" + text + "' is not a valid integer value");
    return value;
}

int ParseIntDef(const std::string& text, int fallback)
{
    int value = 0;
    return TryParseInteger(text, value) ? value : fallback;
}

bool TryParseFloat(const std::string& text, double& result)
{
    std::string t = media::Trim(text);
    if (!t.empty() && t[0] == '+') t.erase(0, 1);
    if (t.empty()) return false;
    const char* end = t.data() + t.size();
    auto [ptr, ec] = std::from_chars(t.data(), end, result);
    return ec == std::errc() && ptr == end && std::isfinite(result);
}

double ParseFloat(const std::string& text)
{
    double value = 0;
    if (!TryParseFloat(text, value)) throw FFmpegException("'" + text + "' is not a valid floating point value");
    return value;
}

// Microseconds from the libraries' time parser, as a duration or as a date.
std::int64_t ParseTime(const std::string& name, const std::string& value, bool isDuration)
{
    std::int64_t us = 0;
    if (av::av_parse_time(&us, value.c_str(), isDuration ? 1 : 0) < 0 || us == INT64_MIN)
        throw FFmpegException(Format("Invalid %s specification for %s: %s", isDuration ? "duration" : "date",
                                     name.c_str(), value.c_str()));
    return us;
}

bool IsFlag(const std::string& value)
{
    return value != "0";
}

// ---------------------------------------------------------------------------
// Setters

void DoNothing(TCustomFFmpeg& task, const std::string& name, const std::string&)
{
    task.Log(llInfo, "Do nothing: option - " + name);
}

void NotDone(TCustomFFmpeg&, const std::string& name, const std::string&)
{
    throw FFmpegException("TODO: option - " + name);
}

// "pgmyuv" is read through the image sequence format with a compatibility flag.
std::string FormatName(TCustomFFmpeg& task, const std::string& name)
{
    if (name != "pgmyuv") return name;
    task.Log(llInfo, "pgmyuv format is deprecated, use image2");
    task.PgmyuvCompatibilityHack = true;
    return "image2";
}

void SetFormat(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    const std::string name = FormatName(task, value);
    task.InputFormat = av::av_find_input_format(name.c_str());
    task.OutputFormat = av::av_guess_format(name.c_str(), nullptr, nullptr);
    if (!task.InputFormat && !task.OutputFormat)
        throw FFmpegException(Format("Unknown input or output format: %s", name.c_str()));
}

// Reads an integer as the runtime's strtol in base 0 does and moves `p` past it.
int ReadMapNumber(const char*& p)
{
    char* end = nullptr;
    const long v = av::my_strtol(p, &end, 0);
    p = end;
    return static_cast<int>(v);
}

// One separator character, never past the end of the text.
void SkipSeparator(const char*& p)
{
    if (*p) ++p;
}

void SetStreamMap(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    if (task.StreamMapCount >= MaxStreamMaps)
        throw FFmpegException(Format("Too many stream maps: at most %d are allowed", MaxStreamMaps));
    TStreamMap m;
    const char* p = value.c_str();
    m.FileIndex = ReadMapNumber(p);
    SkipSeparator(p);
    m.StreamIndex = ReadMapNumber(p);
    if (*p) {
        ++p;
        m.SyncFileIndex = ReadMapNumber(p);
        SkipSeparator(p);
        m.SyncStreamIndex = ReadMapNumber(p);
    } else {
        m.SyncFileIndex = m.FileIndex;
        m.SyncStreamIndex = m.StreamIndex;
    }
    task.StreamMaps[task.StreamMapCount++] = m;
}

void SetMetaDataMap(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    if (task.MetaDataMapCount >= MaxMetaDataMaps)
        throw FFmpegException(Format("Too many metadata maps: at most %d are allowed", MaxMetaDataMaps));
    TMetaDataMap m;
    const char* p = value.c_str();
    m.OutFile = ReadMapNumber(p);
    SkipSeparator(p);
    m.InFile = ReadMapNumber(p);
    task.MetaDataMaps[task.MetaDataMapCount++] = m;
}

void SetRecordingTime(TCustomFFmpeg& task, const std::string& name, const std::string& value)
{
    const std::int64_t t = ParseTime(name, value, true);
    if (t > 0) {
        task.RecordingTime = t;
        task.TotalOutputDuration = static_cast<int>(t / 1000);
    }
}

void SetLimitFileSize(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.LimitFileSize = ParseInt64(value);
}

void SetStartTime(TCustomFFmpeg& task, const std::string& name, const std::string& value)
{
    task.StartTime = ParseTime(name, value, true);
}

void SetInputTsOffset(TCustomFFmpeg& task, const std::string& name, const std::string& value)
{
    task.InputTsOffset = ParseTime(name, value, true);
}

// A decimal number at the start of `p` with "." as its decimal point whatever the
// process locale (a Qt application takes the user's locale); none reads as 0.
double ReadScale(const char* p)
{
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '+') ++p;
    double value = 0;
    const auto result = std::from_chars(p, p + std::strlen(p), value);
    return result.ec == std::errc() && std::isfinite(value) ? value : 0;
}

void SetInputTsScale(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    const char* p = value.c_str();
    const int stream = ReadMapNumber(p);
    SkipSeparator(p);
    const double scale = ReadScale(p);
    if (stream < 0 || stream >= MaxStreams)
        throw FFmpegException(Format("stream index over MAX_STREAMS(%d)", MaxStreams));
    if (task.InputFileCount >= MaxFiles)
        throw FFmpegException(Format("Too many input files: at most %d are allowed", MaxFiles));
    task.InputFilesTsScale[task.InputFileCount][stream] = scale;
}

void SetRecTimestamp(TCustomFFmpeg& task, const std::string& name, const std::string& value)
{
    task.RecTimestamp = std::llround(static_cast<double>(ParseTime(name, value, false)) / 1000000.0);
    task.RecTimestampIsNow = value == "now";
}

void SetMetadata(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    const std::size_t pos = value.find('=');
    if (pos == std::string::npos) throw FFmpegException("Missing =");
    task.Metadata.emplace_back(value.substr(0, pos), value.substr(pos + 1));
}

template <int Index>
void SetMaxFrames(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.MaxFrames[Index] = ParseInt(value);
}

template <auto Field>
void SetFlagField(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.*Field = IsFlag(value);
}

// An explicit choice either way replaces the automatic one for interlaced sources.
void SetDeinterlace(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.DoDeinterlace = IsFlag(value);
    task.DeinterlaceChosen = true;
}

template <auto Field>
void SetTrueField(TCustomFFmpeg& task, const std::string&, const std::string&)
{
    task.*Field = true;
}

template <auto Field>
void SetIntField(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.*Field = ParseInt(value);
}

template <auto Field>
void SetFloatField(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.*Field = static_cast<float>(ParseFloat(value));
}

template <auto Field>
void SetTextField(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.*Field = value;
}

void SetVerbose(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.SetLogLevel(LogLevelFromNumber(ParseInt(value)));
}

void SetTarget(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    std::string type = media::Trim(value);
    std::string norm = "auto";
    for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
        const std::size_t length = std::strlen(prefix);
        if (type.compare(0, length, prefix) == 0) {
            norm = std::string(prefix, length - 1);
            type.erase(0, length);
            break;
        }
    }
    task.ApplyTarget(type, norm, "ntsc");
}

void SetBitRate(TCustomFFmpeg& task, const std::string& name, const std::string& value)
{
    // "b" and "vb" are the video bit rate, "ab" the sound one; today's libraries flag
    // the common "b" for both.
    const int type = name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
    if (!task.SetDefaultOption(name, value, type) || !task.LogHandler || !task.OptionContext) return;
    AVCodecContext* set = task.OptionContext->CodecSets[name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO];
    std::int64_t bitRate = 0;
    if (av::av_opt_get_int(set, "b", 0, &bitRate) >= 0 && bitRate < 1000)
        task.Log(llInfo, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
}

void SetFrameRate(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    AVRational rate{0, 0};
    if (av::av_parse_video_rate(&rate, value.c_str()) < 0) throw FFmpegException("Incorrect frame rate");
    task.FrameRate = rate;
}

void SetFrameSize(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    int width = 0, height = 0;
    if (av::av_parse_video_size(&width, &height, value.c_str()) < 0) throw FFmpegException("Incorrect frame size");
    if (width % 2 != 0 || height % 2 != 0) throw FFmpegException("Frame size must be a multiple of 2");
    task.FrameWidth = width;
    task.FrameHeight = height;
}

void SetAspectRatio(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    double ratio = 0;
    const std::size_t colon = value.find(':');
    if (colon != std::string::npos) {
        const int x = ParseIntDef(value.substr(0, colon), 0);
        const int y = ParseIntDef(value.substr(colon + 1), 0);
        if (y > 0) ratio = static_cast<double>(x) / y;
    } else if (!TryParseFloat(value, ratio)) {
        ratio = 0;
    }
    if (ratio == 0) throw FFmpegException("Incorrect aspect ratio specification.");
    task.FrameAspectRatio = static_cast<float>(ratio);
    task.FrameAspectForced = true;
}

void LogPixelFormats(TCustomFFmpeg& task)
{
    if (!task.LogHandler) return;
    char line[128];
    for (int i = -1; i < AV_PIX_FMT_NB; ++i) {
        if (i >= 0 && !av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(i))) break;
        av::av_get_pix_fmt_string(line, sizeof line, static_cast<AVPixelFormat>(i));
        task.Log(llInfo, media::Trim(line));
    }
}

void LogSampleFormats(TCustomFFmpeg& task)
{
    if (!task.LogHandler) return;
    char line[128];
    for (int i = -1; i < AV_SAMPLE_FMT_NB; ++i) {
        av::av_get_sample_fmt_string(line, sizeof line, static_cast<AVSampleFormat>(i));
        task.Log(llInfo, media::Trim(line));
    }
}

void SetPixelFormat(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    if (value == "list") {
        LogPixelFormats(task);
    } else {
        task.FramePixFmt = av::av_get_pix_fmt(value.c_str());
        task.FramePixFmtForced = true;
    }
}

void SetSampleFormat(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    if (value == "list") {
        LogSampleFormats(task);
    } else {
        task.AudioSampleFmt = av::av_get_sample_fmt(value.c_str());
        task.AudioSampleFmtForced = true;
    }
}

enum TSide { sdTop, sdBottom, sdLeft, sdRight };
constexpr const char* SideNames[] = {"Top", "Bottom", "Left", "Right"};

// A negative size is ignored; an odd one is refused. Returns false when ignored.
bool CheckBandSize(int size, TSide side, const char* what)
{
    if (size < 0) return false;
    if (size % 2 != 0) throw FFmpegException(Format("%s %s size must be a multiple of 2", SideNames[side], what));
    return true;
}

// Crops cut from the frame size known when they are given, so they must follow it.
template <TSide Side>
void SetCrop(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    const int size = ParseInt(value);
    if (!CheckBandSize(size, Side, "crop")) return;
    const bool vertical = Side == sdTop || Side == sdBottom;
    int& dimension = vertical ? task.FrameHeight : task.FrameWidth;
    if (size >= dimension)
        throw FFmpegException(std::string(vertical ? "Vertical" : "Horizontal") +
                              " crop dimensions are outside the range of the original image.\n"
                              "Remember to crop first and scale second.");
    int* const fields[] = {&task.CropTop, &task.CropBottom, &task.CropLeft, &task.CropRight};
    *fields[Side] = size;
    dimension -= size;
}

template <TSide Side>
void SetPad(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    const int size = ParseInt(value);
    if (!CheckBandSize(size, Side, "pad")) return;
    int* const fields[] = {&task.PadTop, &task.PadBottom, &task.PadLeft, &task.PadRight};
    *fields[Side] = size;
}

void SetPadColorOption(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.SetPadColor(PadColorValue(value));
}

void SetVideoQScale(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    const double q = ParseFloat(value);
    if (!(q > 0 && q <= 255)) throw FFmpegException("qscale must be > 0.0 and <= 255");
    task.VideoQScale = static_cast<float>(q);
}

template <auto CodecName, auto StreamCopy>
void SetCodec(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    if (value.empty()) return;
    (task.*CodecName).clear();
    if (value == "copy") task.*StreamCopy = true;
    else task.*CodecName = value;
}

void SetPass(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    const int pass = ParseInt(value);
    if (pass != 1 && pass != 2) throw FFmpegException("pass number can be only 1 or 2");
    task.DoPass = pass;
}

// "<folder of the executable>/vstats_hhnnss.log", named after the local time.
void SetAutoVStatsFile(TCustomFFmpeg& task, const std::string&, const std::string&)
{
    std::error_code ec;
    std::string folder = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H%M%S", &local);
    task.VStatsFileName = Format("%svstats_%s.log", folder.c_str(), stamp);
}

void SetVideoHook(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.FrameHookArguments.emplace_back();
    if (AddFrameHookFromOption(task.FrameHooks, value, task.FrameHookArguments.back()) != 0) {
        task.FrameHookArguments.pop_back();
        throw FFmpegException("Failed to add video hook function: " + value);
    }
    task.UsingVHook = true;
}

void SetVideoFilters(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    if (!value.empty()) task.VideoFilters = value;
}

// 64 comma-separated coefficients; the matrix is zeroed first.
template <auto Matrix>
void SetMatrix(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    std::vector<std::uint16_t>& matrix = task.*Matrix;
    matrix.assign(64, 0);
    std::size_t pos = 0;
    for (int i = 0; i < 64; ++i) {
        const std::size_t comma = value.find(',', pos);
        matrix[i] = static_cast<std::uint16_t>(ParseInt(value.substr(pos, comma - pos)));
        if (i == 63) break;
        if (comma == std::string::npos)
            throw FFmpegException(Format("Syntax error in matrix \"%s\" at coeff %d", value.c_str(), i));
        pos = comma + 1;
    }
}

std::uint32_t CodecTag(const std::string& value, const char* kind)
{
    if (value.size() != 4) throw FFmpegException(Format("%s tag parameter must be 4 chars", kind));
    const auto* b = reinterpret_cast<const unsigned char*>(value.data());
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
}

void SetVideoTag(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.VideoCodecTag = CodecTag(value, "video");
}

void SetAudioTag(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    task.AudioCodecTag = CodecTag(value, "audio");
}

AVFormatContext* LastOutput(TCustomFFmpeg& task)
{
    if (task.OutputFileCount <= 0) throw FFmpegException("At least one output file must be specified");
    return task.OutputFiles[task.OutputFileCount - 1];
}

void NewVideo(TCustomFFmpeg& task, const std::string&, const std::string&)
{
    task.NewOutputStream(LastOutput(task), AVMEDIA_TYPE_VIDEO);
}

void NewAudio(TCustomFFmpeg& task, const std::string&, const std::string&)
{
    task.NewOutputStream(LastOutput(task), AVMEDIA_TYPE_AUDIO);
}

void NewSubtitle(TCustomFFmpeg& task, const std::string&, const std::string&)
{
    task.NewOutputStream(LastOutput(task), AVMEDIA_TYPE_SUBTITLE);
}

void SetIfPositive(int& field, int value)
{
    if (value > 0) field = value;
}

void SetAudioSampleRate(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    SetIfPositive(task.AudioSampleRate, ParseInt(value));
}

void SetAudioChannels(TCustomFFmpeg& task, const std::string&, const std::string& value)
{
    SetIfPositive(task.AudioChannels, ParseInt(value));
}

// "name" or "name=arguments"; the chain waits for the next stream of its kind.
void AddBitstreamFilter(TCustomFFmpeg& task, const std::string& name, const std::string& value)
{
    if (value.empty() || value[0] == '=') return;
    const std::size_t eq = value.find('=');
    TBitstreamFilterEntry entry;
    entry.Name = media::Trim(value.substr(0, eq));
    if (eq != std::string::npos) entry.Arguments = value.substr(eq + 1);
    if (!av::av_bsf_get_by_name(entry.Name.c_str()))
        throw FFmpegException(Format("Unknown bitstream filter %s", media::Trim(value).c_str()));
    TBitstreamFilterChain& chain = name[0] == 'v'   ? task.VideoBitstreamFilters
                                   : name[0] == 'a' ? task.AudioBitstreamFilters
                                                    : task.SubtitleBitstreamFilters;
    chain.push_back(std::move(entry));
}

using T = TCustomFFmpeg;

// The dispatch order matters only where names repeat; it is kept as the option
// language defines it.
const TOptionEntry OptionTable[] = {
    {"L", DoNothing},
    {"h", DoNothing},
    {"version", DoNothing},
    {"formats", DoNothing},
    {"f", SetFormat},
    {"i", DoNothing},
    {"y", DoNothing},
    {"map", SetStreamMap},
    {"map_meta_data", SetMetaDataMap},
    {"t", SetRecordingTime},
    {"fs", SetLimitFileSize},
    {"ss", SetStartTime},
    {"itsoffset", SetInputTsOffset},
    {"itsscale", SetInputTsScale},
    {"timestamp", SetRecTimestamp},
    {"metadata", SetMetadata},
    {"dframes", SetMaxFrames<mfData>},
    {"benchmark", DoNothing},
    {"dump", SetFlagField<&T::DoPktDump>},
    {"hex", SetFlagField<&T::DoHexDump>},
    {"re", SetFlagField<&T::RateEmu>},
    {"loop_input", SetFlagField<&T::LoopInput>},
    {"loop_output", SetIntField<&T::LoopOutput>},
    {"v", SetVerbose},
    {"target", SetTarget},
    {"threads", NotDone},
    {"vsync", SetIntField<&T::VideoSyncMethod>},
    {"async", SetIntField<&T::AudioSyncMethod>},
    {"adrift_threshold", SetFloatField<&T::AudioDriftThreshold>},
    {"vglobal", SetIntField<&T::VideoGlobalHeader>},
    {"copyts", SetTrueField<&T::CopyTs>},
    {"shortest", SetFlagField<&T::Shortest>},
    {"dts_delta_threshold", SetFloatField<&T::DtsDeltaThreshold>},
    {"programid", SetIntField<&T::ProgramID>},
    {"xerror", SetTrueField<&T::ExitOnError>},
    {"copyinkf", SetIntField<&T::CopyInitialNonKeyframes>},
    {"b", SetBitRate},
    {"vb", SetBitRate},
    {"vframes", SetMaxFrames<mfVideo>},
    {"r", SetFrameRate},
    {"s", SetFrameSize},
    {"aspect", SetAspectRatio},
    {"pix_fmt", SetPixelFormat},
    {"croptop", SetCrop<sdTop>},
    {"cropbottom", SetCrop<sdBottom>},
    {"cropleft", SetCrop<sdLeft>},
    {"cropright", SetCrop<sdRight>},
    {"padtop", SetPad<sdTop>},
    {"padbottom", SetPad<sdBottom>},
    {"padleft", SetPad<sdLeft>},
    {"padright", SetPad<sdRight>},
    {"padcolor", SetPadColorOption},
    {"intra", SetFlagField<&T::IntraOnly>},
    {"vn", SetFlagField<&T::VideoDisable>},
    {"vdt", SetIntField<&T::VideoDiscard>},
    {"qscale", SetVideoQScale},
    {"rc_override", SetTextField<&T::VideoRcOverride>},
    {"vcodec", SetCodec<&T::VideoCodecName, &T::VideoStreamCopy>},
    {"me_threshold", SetIntField<&T::MeThreshold>},
    {"sameq", SetFlagField<&T::SameQuality>},
    {"pass", SetPass},
    {"passlogfile", SetTextField<&T::PassLogFileName>},
    {"deinterlace", SetDeinterlace},
    {"psnr", SetFlagField<&T::DoPSNR>},
    {"vstats", SetAutoVStatsFile},
    {"vstats_file", SetTextField<&T::VStatsFileName>},
    {"vhook", SetVideoHook},
    {"vfilters", SetVideoFilters},
    {"intra_matrix", SetMatrix<&T::IntraMatrix>},
    {"inter_matrix", SetMatrix<&T::InterMatrix>},
    {"top", SetIntField<&T::TopFieldFirst>},
    {"dc", SetIntField<&T::IntraDCPrecision>},
    {"vtag", SetVideoTag},
    {"newvideo", NewVideo},
    {"qphist", SetFlagField<&T::QpHist>},
    {"force_fps", SetFlagField<&T::ForceFps>},
    {"ab", SetBitRate},
    {"aframes", SetMaxFrames<mfAudio>},
    {"aq", SetFloatField<&T::AudioQScale>},
    {"ar", SetAudioSampleRate},
    {"ac", SetAudioChannels},
    {"an", SetFlagField<&T::AudioDisable>},
    {"acodec", SetCodec<&T::AudioCodecName, &T::AudioStreamCopy>},
    {"atag", SetAudioTag},
    {"vol", SetIntField<&T::AudioVolume>},
    {"newaudio", NewAudio},
    {"alang", SetTextField<&T::AudioLanguage>},
    {"sample_fmt", SetSampleFormat},
    {"sn", SetFlagField<&T::SubtitleDisable>},
    {"scodec", SetCodec<&T::SubtitleCodecName, &T::SubtitleStreamCopy>},
    {"newsubtitle", NewSubtitle},
    {"slang", SetTextField<&T::SubtitleLanguage>},
    {"atrack", SetIntField<&T::SoundTrack>},
    {"burnsubs", SetIntField<&T::BurntSubtitleTrack>},
    {"keepshape", SetFlagField<&T::KeepPictureShape>},
    {"vc", SetIntField<&T::VideoChannel>},
    {"tvstd", SetTextField<&T::VideoStandard>},
    {"isync", SetFlagField<&T::InputSync>},
    {"muxdelay", SetFloatField<&T::MuxMaxDelay>},
    {"muxpreload", SetFloatField<&T::MuxPreload>},
    {"absf", AddBitstreamFilter},
    {"vbsf", AddBitstreamFilter},
    {"sbsf", AddBitstreamFilter},
    {"apre", DoNothing},
    {"vpre", DoNothing},
    {"spre", DoNothing},
};
static_assert(std::size(OptionTable) == 106, "every named option of the language, in dispatch order");

}  // namespace

bool ParseOptionInteger(const std::string& text, int& value)
{
    return TryParseInteger(text, value);
}

int PadColorValue(const std::string& text)
{
    int color = 0;
    if (TryParseInteger(text, color)) return color;
    // The colour written as hexadecimal digits alone, the way colours are usually noted.
    const std::string digits = media::Trim(text);
    if (!digits.empty() && digits.size() <= 6 &&
        std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c); }))
        return static_cast<int>(std::stoul(digits, nullptr, 16));
    throw FFmpegException("'" + text + "' is not a valid integer value");
}

void TCustomFFmpeg::SetOption(const std::string& name, const std::string& value)
{
    for (const TOptionEntry& entry : OptionTable) {
        if (name == entry.Name) {
            entry.Handler(*this, name, value);
            return;
        }
    }
    SetDefaultOption(name, value);   // an unknown name is not an error
}

bool TCustomFFmpeg::IsKnownOption(const std::string& name)
{
    for (const TOptionEntry& entry : OptionTable)
        if (name == entry.Name) return true;
    const std::string option = media::Trim(name);
    auto known = [](const AVClass* cls, const std::string& n) {
        return av::av_opt_find(&cls, n.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
    };
    if (option.empty()) return false;
    if (known(av::avcodec_get_class(), option) || known(av::avformat_get_class(), option) ||
        known(av::sws_get_class(), option))
        return true;
    if (option.size() > 1 && std::strchr("avs", option[0]) && known(av::avcodec_get_class(), option.substr(1)))
        return true;
    return FindPrivateOption(option) != nullptr;
}

void TCustomFFmpeg::SetInputFormat(const std::string& name)
{
    if (name.empty()) return;
    const std::string format = FormatName(*this, name);
    const AVInputFormat* input = av::av_find_input_format(format.c_str());
    if (!input) throw FFmpegException(Format("Unknown input format: %s", format.c_str()));
    InputFormat = input;
}

void TCustomFFmpeg::SetOutputFormat(const std::string& name)
{
    if (name.empty()) return;
    const std::string format = FormatName(*this, name);
    const AVOutputFormat* output = av::av_guess_format(format.c_str(), nullptr, nullptr);
    if (!output) throw FFmpegException(Format("Unknown output format: %s", format.c_str()));
    OutputFormat = output;
}

void TCustomFFmpeg::SetPadColor(int color)
{
    const int r = color & 0xFF;
    const int g = (color >> 8) & 0xFF;
    const int b = (color >> 16) & 0xFF;
    PadColorY = (307 * r + 602 * g + 117 * b + 512) >> 10;
    PadColorU = ((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128;
    PadColorV = ((512 * r - 429 * g - 84 * b + 511) >> 10) + 128;
}

}  // namespace kv::engine
