#pragma once
// The entry forms of the catalogue beyond plain numbers: frame sizes that follow the
// source ("Keep original size", "Fit within W*H"), constant quality ("Quality N"),
// a target file size ("Size N MB"), stream copy ("Copy", "Smart copy") and the
// encoders of today with their device levels. Pure functions: the job builder
// applies them with the facts of the source.
#include <optional>
#include <string>

namespace kv::workflow {

// What the job builder needs to know of a source; zero or empty when unknown.
struct TSourceFacts {
    int Width = 0, Height = 0;     // of the picture upright, as players show it
    int SarNum = 0, SarDen = 0;    // sample aspect, upright; 0 = square
    int RateNum = 0, RateDen = 0;  // frame rate
    int BitsPerSample = 8;         // of the picture
    bool Hdr = false;              // PQ or HLG transfer
    int Primaries = 2, Transfer = 2, Matrix = 2;  // the libraries' colour tags; 2 = unspecified
    int VideoCodecId = 0;          // the libraries' codec id; 0 without picture
    int AudioCodecId = 0;          // 0 without sound
    long long DurationMs = 0;
};

// ---------------------------------------------------------------------------
// Frame size

enum class TSizeForm { sfFixed, sfKeep, sfFit };

struct TSizeEntry {
    TSizeForm Form = TSizeForm::sfFixed;
    int Width = 0, Height = 0;  // the size, or the box to fit in
};

// "320*240", "Keep original size", "Fit within 1920*1080"; nullopt for anything else.
std::optional<TSizeEntry> ReadSizeEntry(const std::string& entry);

struct TFrameSize {
    int Width = 0, Height = 0;
};

// The source's display size (its pixels made square), brought down to fit the box
// in either orientation, never up, in even numbers.
TFrameSize FitWithin(const TSourceFacts& source, int boxWidth, int boxHeight);
// The source's own frame size (its pixel shape stays), in even numbers.
TFrameSize KeepSize(const TSourceFacts& source);

// ---------------------------------------------------------------------------
// Rates

enum class TRateForm { rfBitRate, rfQuality, rfSize };

struct TRateEntry {
    TRateForm Form = TRateForm::rfBitRate;
    int Value = 0;  // kbps, quality step or megabytes
};

// "768 kbps", "Quality 23 (default)", "Quality V2", "Size 25 MB"; nullopt otherwise.
std::optional<TRateEntry> ReadRateEntry(const std::string& entry);

// ---------------------------------------------------------------------------
// Encoders

struct TEncoderChoice {
    std::string Codec;         // the engine's codec name; "copy" for a stream copy
    bool Smart = false;        // copy when the container takes the source's stream
    std::string Profile;       // "high", "main"
    int Level = 0;             // ten times the level: 41 for 4.1
    int Bits = 0;              // 8 or 10; 0 = as the source (10 for a deeper one)
};

// Today's encoder entries ("H.265/HEVC 10-bit", "H.264 High L4.1", "AV1", "VP9",
// "Opus", "ALAC", "Copy", "Smart copy"); nullopt for an entry of the older tables.
std::optional<TEncoderChoice> ReadEncoderEntry(const std::string& entry);

// True when a container of the extension (with its dot) takes the libraries' codec.
bool ContainerTakes(const std::string& ext, int codecId);

// What an entry of the new forms does, in words for the settings dialog; empty for the
// plain numbers and names, which say it themselves. `sound`: the entry is one of the
// sound settings, whose quality is heard rather than seen.
std::string EntryExplanation(const std::string& entry, bool sound);

// ---------------------------------------------------------------------------
// What codecs and devices allow

// "Keep original frame rate" into MPEG-1 or MPEG-2: the legal rate nearest the
// source's, as the option text ("24000/1001"); empty when the source's is legal or
// the codec is another.
std::string LegalMpegRate(const std::string& codec, const TSourceFacts& source);
// A device's rate for a source of `rate`: at most 60, and within what the H.264 or
// HEVC level allows for the frame size; empty when the source's rate may stay.
std::string DeviceRate(const TEncoderChoice& choice, const TSourceFacts& source, const TFrameSize& size);

// The option lines (one "name=value" each) a quality step, the choice's profile,
// level and depth need for the codec; `quality` < 0 for none.
std::string EncoderLines(const TEncoderChoice& choice, int quality, const TSourceFacts& source);
// Sound: the option lines of a quality step: "aq" for MP3 (its V scale); for AAC and
// Opus a step of 1 (high) to 5 (small), AAC's own quality or Opus's varying bit rate
// for `channels`.
std::string AudioQualityLines(const std::string& codec, int quality, int channels);

// The video bit rate in bits per second that makes a file of `megabytes` with the
// sound's bit rate, over `durationMs`; the container's share is kept aside.
long long SizeVideoBitRate(int megabytes, long long durationMs, int audioBitRate);
// Below this the picture of a "Size N MB" conversion is not worth keeping.
inline constexpr long long MinSizeVideoBitRate = 100000;
// Above this more bits give no better picture: a short clip stays smaller than asked.
inline constexpr long long MaxSizeVideoBitRate = 20000000;

}  // namespace kv::workflow
