#include "workflow/EntryForms.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <vector>

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"

namespace kv::workflow {

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Trim(const std::string& s)
{
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const std::size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A positive decimal number of at most six digits at `pos`; moves `pos` past it.
bool ReadNumber(const std::string& text, std::size_t& pos, int& value)
{
    const std::size_t start = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) && pos - start < 7) ++pos;
    if (pos == start || pos - start > 6) return false;
    value = std::stoi(text.substr(start, pos - start));
    return true;
}

// "W*H" and nothing else, both even and positive.
bool ReadBox(const std::string& text, int& width, int& height)
{
    std::size_t pos = 0;
    if (!ReadNumber(text, pos, width) || pos >= text.size() || text[pos] != '*') return false;
    ++pos;
    return ReadNumber(text, pos, height) && pos == text.size() && width > 0 && height > 0;
}

int EvenDown(double value)
{
    const int v = static_cast<int>(std::floor(value + 1e-6));
    return std::max(2, v - v % 2);
}

int EvenNearest(double value)
{
    return std::max(2, static_cast<int>(std::lround(value / 2.0)) * 2);
}

// The source's display width and height, the pixels made square along the width.
void DisplaySize(const TSourceFacts& s, double& width, double& height)
{
    width = s.Width;
    height = s.Height;
    if (s.SarNum > 0 && s.SarDen > 0) width = double(s.Width) * s.SarNum / s.SarDen;
}

double SourceRate(const TSourceFacts& s)
{
    return s.RateNum > 0 && s.RateDen > 0 ? double(s.RateNum) / s.RateDen : 0.0;
}

std::string RateText(int num, int den)
{
    return den == 1 ? std::to_string(num) : std::to_string(num) + "/" + std::to_string(den);
}

struct TLevelLimit {
    int Level;
    double PerSecond;  // H.264: macroblocks per second; HEVC: luma samples per second
};

const TLevelLimit H264Levels[] = {{30, 40500},   {31, 108000},  {32, 216000},  {40, 245760},  {41, 245760},
                                  {42, 522240},  {50, 589824},  {51, 983040},  {52, 2073600}};
const TLevelLimit HevcLevels[] = {{40, 66846720.0},  {41, 133693440.0}, {50, 267386880.0},
                                  {51, 534773760.0}, {52, 1069547520.0}};

// Frames per second the level allows for the size; 0 when the level is not known.
double LevelRate(const TEncoderChoice& choice, const TFrameSize& size)
{
    if (choice.Level <= 0 || size.Width <= 0 || size.Height <= 0) return 0;
    if (choice.Codec == "libx264") {
        const double macroblocks = std::ceil(size.Width / 16.0) * std::ceil(size.Height / 16.0);
        for (const TLevelLimit& l : H264Levels)
            if (l.Level == choice.Level) return l.PerSecond / macroblocks;
    } else if (choice.Codec == "libx265") {
        for (const TLevelLimit& l : HevcLevels)
            if (l.Level == choice.Level) return l.PerSecond / (double(size.Width) * size.Height);
    }
    return 0;
}

// Source depth of a 10-bit choice: a deeper or HDR source keeps its depth.
int ChosenBits(const TEncoderChoice& choice, const TSourceFacts& source)
{
    if (choice.Bits) return choice.Bits;
    return source.BitsPerSample > 8 || source.Hdr ? 10 : 8;
}

}  // namespace

std::optional<TSizeEntry> ReadSizeEntry(const std::string& entry)
{
    const std::string text = Trim(entry);
    TSizeEntry e;
    if (Lower(text) == "keep original size") {
        e.Form = TSizeForm::sfKeep;
        return e;
    }
    std::string box = text;
    if (StartsWith(Lower(text), "fit within ")) {
        e.Form = TSizeForm::sfFit;
        box = Trim(text.substr(std::strlen("fit within ")));
    }
    if (!ReadBox(box, e.Width, e.Height)) return std::nullopt;
    return e;
}

TFrameSize FitWithin(const TSourceFacts& source, int boxWidth, int boxHeight)
{
    double width = 0, height = 0;
    DisplaySize(source, width, height);
    if (width <= 0 || height <= 0) return {};
    // The box turns with the picture: a portrait clip fits a landscape box on its side.
    const double longSide = std::max(boxWidth, boxHeight), shortSide = std::min(boxWidth, boxHeight);
    const double boxW = width >= height ? longSide : shortSide;
    const double boxH = width >= height ? shortSide : longSide;
    const double scale = std::min({1.0, boxW / width, boxH / height});
    if (scale >= 1.0) return {EvenDown(width), EvenDown(height)};
    // The side that meets the box is exact; the other keeps the aspect.
    if (boxW / width <= boxH / height)
        return {EvenDown(boxW), std::min(EvenNearest(height * scale), EvenDown(boxH))};
    return {std::min(EvenNearest(width * scale), EvenDown(boxW)), EvenDown(boxH)};
}

TFrameSize KeepSize(const TSourceFacts& source)
{
    if (source.Width <= 0 || source.Height <= 0) return {};
    return {EvenDown(source.Width), EvenDown(source.Height)};
}

std::optional<TRateEntry> ReadRateEntry(const std::string& entry)
{
    const std::string text = Trim(entry);
    const std::string lower = Lower(text);
    TRateEntry e;
    std::size_t pos = 0;
    if (StartsWith(lower, "quality ")) {
        e.Form = TRateForm::rfQuality;
        pos = std::strlen("quality ");
        if (pos < text.size() && (text[pos] == 'V' || text[pos] == 'v')) ++pos;  // MP3's V scale
        if (!ReadNumber(text, pos, e.Value)) return std::nullopt;
        const std::string rest = Trim(text.substr(pos));
        if (!rest.empty() && rest.front() != '(') return std::nullopt;
        return e;
    }
    if (StartsWith(lower, "size ")) {
        e.Form = TRateForm::rfSize;
        pos = std::strlen("size ");
        if (!ReadNumber(text, pos, e.Value) || e.Value <= 0 || Lower(Trim(text.substr(pos))) != "mb")
            return std::nullopt;
        return e;
    }
    return std::nullopt;
}

std::optional<TEncoderChoice> ReadEncoderEntry(const std::string& entry)
{
    std::string text = Lower(Trim(entry));
    TEncoderChoice c;
    if (text == "copy") {
        c.Codec = "copy";
        return c;
    }
    if (text == "smart copy") {
        c.Codec = "copy";
        c.Smart = true;
        return c;
    }
    // A device's level ends the entry: "h.264 high l4.1".
    const std::size_t level = text.rfind(" l");
    if (level != std::string::npos && level + 2 < text.size() && std::isdigit(static_cast<unsigned char>(text[level + 2]))) {
        int whole = 0, tenth = 0;
        char dot = 0;
        const int got = std::sscanf(text.c_str() + level + 2, "%d%c%d", &whole, &dot, &tenth);
        if (got == 1 || (got == 3 && dot == '.')) {
            c.Level = whole * 10 + (got == 3 ? tenth : 0);
            text = Trim(text.substr(0, level));
        }
    }
    for (const char* depth : {" 10-bit", " 8-bit"}) {
        const std::size_t at = text.size() >= std::strlen(depth) ? text.size() - std::strlen(depth) : std::string::npos;
        if (at != std::string::npos && text.compare(at, std::string::npos, depth) == 0) {
            c.Bits = depth[1] == '1' ? 10 : 8;
            text = Trim(text.substr(0, at));
        }
    }
    for (const char* profile : {" high", " main"}) {
        const std::size_t at = text.size() >= std::strlen(profile) ? text.size() - std::strlen(profile) : std::string::npos;
        if (at != std::string::npos && text.compare(at, std::string::npos, profile) == 0) {
            c.Profile = profile + 1;
            text = Trim(text.substr(0, at));
        }
    }
    const bool qualified = c.Level || c.Bits || !c.Profile.empty();
    if (text == "h.265/hevc" || text == "hevc" || text == "h.265") c.Codec = "libx265";
    else if (text == "av1") c.Codec = "libsvtav1";
    else if (text == "vp9") c.Codec = "libvpx-vp9";
    else if (text == "opus") c.Codec = "libopus";
    else if (text == "alac") c.Codec = "alac";
    else if (text == "h.264" && qualified) c.Codec = "libx264";
    else return std::nullopt;
    // 8-bit stays the depth of H.264: the devices that take H.264 decode no deeper.
    if (c.Codec == "libx264") c.Bits = 8;
    return c;
}

std::string EntryExplanation(const std::string& entry, bool sound)
{
    if (const std::optional<TSizeEntry> size = ReadSizeEntry(entry)) {
        if (size->Form == TSizeForm::sfKeep) return "The source's own frame size.";
        if (size->Form == TSizeForm::sfFit)
            return "Made smaller to fit " + std::to_string(size->Width) + " x " + std::to_string(size->Height) +
                   " either way round, never larger, with square pixels.";
        return {};
    }
    if (const std::optional<TRateEntry> rate = ReadRateEntry(entry)) {
        if (rate->Form == TRateForm::rfSize)
            return "A file of at most " + std::to_string(rate->Value) +
                   " MB, made in two passes; a short clip may stay smaller.";
        return std::string("Constant quality on the encoder's own scale: lower numbers give ") +
               (sound ? "better sound" : "a better picture") + " and a larger file.";
    }
    if (const std::optional<TEncoderChoice> choice = ReadEncoderEntry(entry)) {
        if (choice->Smart) return "Copies the source's stream when this container takes it, and converts it otherwise.";
        if (choice->Codec == "copy") return "Copies the source's stream unchanged.";
    }
    return {};
}

bool ContainerTakes(const std::string& ext, int codecId)
{
    if (codecId <= 0) return false;
    // MP4 and its relatives may carry more than the players of phones, televisions and
    // browsers decode from them (AC-3, DTS, FLAC, Opus): only what those players take is copied.
    static const int movFamily[] = {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC, AV_CODEC_ID_AV1, AV_CODEC_ID_MPEG4,
                                    AV_CODEC_ID_AAC,  AV_CODEC_ID_MP3,  AV_CODEC_ID_ALAC};
    const std::string e = Lower(ext);
    if (e == ".mp4" || e == ".m4v" || e == ".mov" || e == ".m4a") {
        const bool audioOnly = e == ".m4a";
        const bool listed = std::find(std::begin(movFamily), std::end(movFamily), codecId) != std::end(movFamily);
        const bool sound = codecId == AV_CODEC_ID_AAC || codecId == AV_CODEC_ID_MP3 || codecId == AV_CODEC_ID_ALAC;
        if (!listed || (audioOnly && !sound)) return false;
    }
    const AVOutputFormat* muxer = av::av_guess_format(nullptr, ("x" + ext).c_str(), nullptr);
    if (!muxer) return false;
    return av::avformat_query_codec(muxer, static_cast<AVCodecID>(codecId), FF_COMPLIANCE_NORMAL) == 1;
}

std::string LegalMpegRate(const std::string& codec, const TSourceFacts& source)
{
    if (codec != "mpeg1video" && codec != "mpeg2video") return {};
    const double rate = SourceRate(source);
    if (rate <= 0) return {};
    // The frame rates the MPEG-1 and MPEG-2 picture headers can name.
    static const int legal[][2] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1},
                                   {50, 1},       {60000, 1001}, {60, 1}};
    const int* best = legal[0];
    for (const auto& r : legal) {
        if (std::fabs(double(r[0]) / r[1] - rate) < 1e-3) return {};
        if (std::fabs(double(r[0]) / r[1] - rate) < std::fabs(double(best[0]) / best[1] - rate)) best = r;
    }
    return RateText(best[0], best[1]);
}

std::string DeviceRate(const TEncoderChoice& choice, const TSourceFacts& source, const TFrameSize& size)
{
    const double rate = SourceRate(source);
    if (choice.Level <= 0 || rate <= 0) return {};
    double limit = 60.0;
    const double levelRate = LevelRate(choice, size);
    if (levelRate > 0) limit = std::min(limit, levelRate);
    if (rate <= limit + 1e-6) return {};
    // Every k-th picture of the source where that keeps the motion smooth; else the
    // limit itself in whole pictures.
    const int k = static_cast<int>(std::ceil(rate / limit - 1e-9));
    if (rate / k >= 24.0) {
        const int g = std::gcd(source.RateNum, k);
        return RateText(source.RateNum / g, source.RateDen * (k / g));
    }
    return std::to_string(std::max(1, static_cast<int>(std::floor(limit))));
}

std::string EncoderLines(const TEncoderChoice& choice, int quality, const TSourceFacts& source)
{
    std::string lines;
    auto line = [&lines](const std::string& l) { lines += (lines.empty() ? "" : "\n") + l; };
    const int bits = ChosenBits(choice, source);
    const std::string depth = bits > 8 ? "yuv420p10le" : "yuv420p";
    if (choice.Codec == "libx264") {
        // The plain "H.264" of the older tables keeps the engine's own choices.
        if (choice.Bits) line("pix_fmt=yuv420p");
        if (choice.Profile == "high") line("vprofile=100");
        if (choice.Profile == "main") line("vprofile=77");
        if (choice.Level > 0) line("vlevel=" + std::to_string(choice.Level));
        if (quality >= 0) line("crf=" + std::to_string(quality));
    } else if (choice.Codec == "libx265") {
        line("pix_fmt=" + depth);
        // "fast" keeps a 720p clip within twice its length on two cores.
        line("preset=fast");
        if (quality >= 0) line("crf=" + std::to_string(quality));
        // The device's level, which x265 also keeps its buffer and references within.
        if (choice.Level > 0)
            line("x265-params=level-idc=" + std::to_string(choice.Level / 10) + "." + std::to_string(choice.Level % 10));
    } else if (choice.Codec == "libsvtav1") {
        line("pix_fmt=" + depth);
        line("preset=8");
        if (quality >= 0) line("crf=" + std::to_string(quality));
        if (quality >= 0) line("b=0");
    } else if (choice.Codec == "libvpx-vp9") {
        line("pix_fmt=" + depth);
        // Rows in parallel and two tile columns: both cores busy at any size.
        line("row-mt=1");
        line("tile-columns=1");
        line("deadline=good");
        line("cpu-used=4");
        if (quality >= 0) line("crf=" + std::to_string(quality));
        if (quality >= 0) line("b=0");
    }
    // An HDR picture kept at its depth keeps the tags that tell players how to show it.
    const bool deepCodec = choice.Codec == "libx265" || choice.Codec == "libsvtav1" || choice.Codec == "libvpx-vp9";
    if (deepCodec && bits > 8 && source.Hdr) {
        line("color_primaries=" + std::to_string(source.Primaries));
        line("color_trc=" + std::to_string(source.Transfer));
        line("colorspace=" + std::to_string(source.Matrix));
    }
    if (!deepCodec && choice.Codec != "libx264" && quality >= 0) {
        // Encoders of the older tables: their own quantiser scale.
        line("qscale=" + std::to_string(std::max(1, quality)));
    }
    return lines;
}

std::string AudioQualityLines(const std::string& codec, int quality, int channels)
{
    if (quality < 0) return {};
    if (codec == "libmp3lame") return "aq=" + std::to_string(quality);
    // AAC and Opus share a scale of five steps, lower better as everywhere else: the
    // native AAC encoder's own quality (2 best, 0.1 least), Opus's bit rate per two
    // channels with the encoder free to vary it.
    const int step = std::clamp(quality, 1, 5) - 1;
    // The older tables' name of AAC is that of an encoder the libraries no longer have.
    if (codec == "aac" || codec == "libfaac") {
        static const char* const q[] = {"2.0", "1.6", "1.2", "0.9", "0.6"};
        return std::string("aq=") + q[step];
    }
    if (codec == "libopus") {
        static const int kbps[] = {192, 160, 128, 96, 64};
        const int pairs = std::max(1, (std::max(channels, 1) + 1) / 2);
        return "vbr=on\nab=" + std::to_string(kbps[step] * 1000 * pairs);
    }
    return {};
}

long long SizeVideoBitRate(int megabytes, long long durationMs, int audioBitRate)
{
    if (durationMs <= 0 || megabytes <= 0) return 0;
    // 3 % for the container and for the rate control's swings around its target.
    const double bits = double(megabytes) * 1000.0 * 1000.0 * 8.0 * 0.97;
    const double total = bits * 1000.0 / double(durationMs);
    return static_cast<long long>(total) - std::max(0, audioBitRate);
}

}  // namespace kv::workflow
