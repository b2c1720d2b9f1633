// The target presets (VCD, SVCD, DVD, DV): a whole group of options for one kind of
// disc or tape, in PAL, NTSC or film timing.
#include <cmath>

#include "engine/FFmpeg.h"

namespace kv::engine {

namespace {

enum TTargetNorm { tnPal, tnNtsc, tnFilm };

// Frames per thousand seconds that decide the norm.
TTargetNorm NormOfRate(long rate, bool& decided)
{
    decided = true;
    if (rate == 25000) return tnPal;
    if (rate == 29970 || rate == 23976) return tnNtsc;
    decided = false;
    return tnPal;
}

// One preset; nullptr leaves a setting unchanged.
struct TTargetPreset {
    const char* Type;
    const char* VideoCodec;
    const char* AudioCodec;
    const char* Container;
    const char* SizePal;
    const char* SizeNtsc;
    const char* GopPal;
    const char* GopNtsc;
    const char* BitRate;
    const char* MaxRate;
    const char* MinRate;
    const char* BufSize;
    const char* Flags;
    const char* AudioBitRate;
    int SampleRate;
    bool StereoAlways;   // else only mono becomes stereo
    const char* PacketSize;
    const char* MuxRate;
    float MuxPreload;    // 0 = unchanged
    const char* Aspect;  // when no aspect is set
};

constexpr TTargetPreset Presets[] = {
    {"vcd", "mpeg1video", "mp2", "vcd", "352x288", "352x240", "15", "18", "1150000", "1150000", "1150000",
     "327680", nullptr, "224000", 44100, true, "2324", "1411200", 0.44f, "4:3"},
    {"svcd", "mpeg2video", "mp2", "svcd", "480x576", "480x480", "15", "18", "2040000", "2516000", "0",
     "1835008", "+scan_offset", "224000", 44100, false, "2324", nullptr, 0, "4:3"},
    {"dvd", "mpeg2video", "ac3", "dvd", "720x576", "720x480", "15", "18", "6000000", "9000000", "0",
     "1835008", nullptr, "448000", 48000, false, "2048", "10080000", 0, "16:9"},
    {"dv", nullptr, nullptr, "dv", "720x576", "720x480", nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr, 48000, true, nullptr, nullptr, 0, nullptr},
    {"dv50", nullptr, nullptr, "dv", "720x576", "720x480", nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr, 48000, true, nullptr, nullptr, 0, nullptr},
};

}  // namespace

void TCustomFFmpeg::ApplyTarget(const std::string& type, const std::string& norm, const std::string& fallbackNorm)
{
    TTargetNorm chosen = tnPal;
    if (norm == "pal") chosen = tnPal;
    else if (norm == "ntsc") chosen = tnNtsc;
    else if (norm == "film") chosen = tnFilm;
    else {
        if (FrameRate.den == 0) throw FFmpegException("frame_rate is invalid.");
        bool decided = false;
        chosen = NormOfRate(std::lround(FrameRate.num * 1000.0 / FrameRate.den), decided);
        // Otherwise the first input video with a telling rate decides.
        for (int i = 0; i < InputFileCount && !decided; ++i) {
            const AVFormatContext* ic = InputFiles[i];
            for (unsigned j = 0; ic && j < ic->nb_streams && !decided; ++j) {
                const AVStream* st = ic->streams[j];
                if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
                AVRational r = st->r_frame_rate.num && st->r_frame_rate.den ? st->r_frame_rate : st->avg_frame_rate;
                if (r.num && r.den) chosen = NormOfRate(std::lround(r.num * 1000.0 / r.den), decided);
            }
        }
        if (!decided) chosen = fallbackNorm == "film" ? tnFilm : fallbackNorm == "ntsc" ? tnNtsc : tnPal;
        if (Verbose >= llInfo) Log(llInfo, std::string("Assuming ") + (chosen == tnPal ? "PAL" : "NTSC") + " for target.");
    }

    const TTargetPreset* preset = nullptr;
    for (const TTargetPreset& p : Presets)
        if (type == p.Type) preset = &p;
    if (!preset) throw FFmpegException("Unknown target type");

    const bool pal = chosen == tnPal;   // film takes the NTSC sizes
    const char* rate = chosen == tnPal ? "25" : chosen == tnNtsc ? "30000/1001" : "24000/1001";
    auto set = [this](const char* name, const char* value) {
        if (value) SetOption(name, value);
    };
    set("vcodec", preset->VideoCodec);
    set("acodec", preset->AudioCodec);
    SetOutputFormat(preset->Container);
    set("s", pal ? preset->SizePal : preset->SizeNtsc);
    set("r", rate);
    set("g", pal ? preset->GopPal : preset->GopNtsc);
    set("b", preset->BitRate);
    set("maxrate", preset->MaxRate);
    set("minrate", preset->MinRate);
    set("bufsize", preset->BufSize);
    set("flags", preset->Flags);
    set("ab", preset->AudioBitRate);
    AudioSampleRate = preset->SampleRate;
    if (preset->StereoAlways || AudioChannels == 1) AudioChannels = 2;
    set("packetsize", preset->PacketSize);
    set("muxrate", preset->MuxRate);
    if (preset->MuxPreload) MuxPreload = preset->MuxPreload;
    if (type == "dv50") SetOption("pix_fmt", "yuv422p");
    else if (type == "dv") SetOption("pix_fmt", pal ? "yuv420p" : "yuv411p");
    if (preset->Aspect && FrameAspectRatio == 0) {
        SetOption("aspect", preset->Aspect);
        Log(llInfo, std::string("Assuming ") + preset->Aspect + " for aspect ratio");
    }
}

}  // namespace kv::engine
