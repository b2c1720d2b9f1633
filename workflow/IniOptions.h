#pragma once
// The profile catalogue and the user's remembered choices, held by the process-wide
// `IniOptions` and kept in kestravo.ini beside the executable.
#include <string>
#include <vector>

namespace kv::workflow {

class TIniFile;

// One output profile. Each choice list is catalogue data (comma-separated entries);
// the index beside it is the user's choice and is used as stored, never clamped.
struct TFormatRec {
    std::string Name;
    std::string Ext;        // with its leading dot
    int Category = 0;       // 0 audio-only, 1 video; other values are neither
    std::string Resolution; // "320*240,..."
    int ResolutionValue = 0;
    std::string Framerate;  // "25 fps,..." or "Keep original frame rate"
    int FramerateValue = 0;
    std::string FrameAspectRatio;
    std::string VideoEncoder;
    int VideoEncoderValue = 0;
    std::string VideoBitRate; // "768 kbps,..."
    int VideoBitRateValue = 0;
    std::string SampleRate;   // "44100 Hz,..."
    int SampleRateValue = 0;
    std::string AudioBitrate; // "128 kbps,..."
    int AudioBitrateValue = 0;
    std::string AudioEncoder;
    int AudioEncoderValue = 0;
    std::string Channel;      // entries begin with the channel count: "1 Channel Mono"
    int ChannelValue = 0;
    int Volume = 0;           // engine scale, 256 = unchanged

    bool operator==(const TFormatRec&) const = default;
};

// The most profiles a settings file gives; a larger count (a damaged file) reads as
// this many. Profiles beyond the sections present are made of defaults and written
// back, so an unbounded count would fill memory and the file.
inline constexpr int MaxFormatCount = 1000;

// Frame-rate list of a profile section that has none.
inline constexpr const char* DefaultFramerateList = "15 fps,25 fps,Keep original frame rate,30 fps";

class TIniOptions {
public:
    int FormatCount = 0;
    std::vector<TFormatRec> Formats;
    int OutputFormat = 0;
    std::string OutputFolder;   // empty = not chosen yet
    int SnapshotFormat = 0;     // 0 JPEG, 1 bitmap
    std::string SnapshotFolder;
    int SnapshotNaming = 0;     // 0 after the source file, 1 after the time taken
    int Jobs = 1;               // files converted at once, 1..MaxJobs()
    int IfExists = 0;           // an output name that is taken: 0 add a number, 1 skip, 2 replace
    bool KeepFolders = false;   // an added folder's tree is mirrored under the output folder
    int PreviewVolume = 100;    // the preview's sound, percent

    // Reads the file when it exists; otherwise leaves the store as it is.
    void LoadFromFile(const std::string& fileName);
    // Writes the remembered choices into the file (created when absent), leaving
    // everything else in it as it was. Throws EIniFileException when it cannot be written;
    // the old file then stays as it was.
    void SaveToFile(const std::string& fileName);

    void ReadFrom(const TIniFile* ini);
    void WriteTo(TIniFile* ini) const;

    // Both throw EListError for an index outside 0..FormatCount-1.
    TFormatRec GetFormat(int index) const;
    void SetFormat(int index, const TFormatRec& format);

    // The most files a batch converts at once: one per core.
    static int MaxJobs();
    // `jobs` brought into 1..MaxJobs().
    static int ClampJobs(int jobs);

    // Fills `list` with the comma-separated entries of `text`, blanks kept; false when
    // `text` is empty.
    static bool SplitList(const std::string& text, std::vector<std::string>& list);
};

extern TIniOptions IniOptions;

// The text before the first `separator`; all of it when the separator does not occur.
std::string TextBefore(const std::string& text, const std::string& separator);
// The extension of a file name without its dot; empty when it has none.
std::string ExtNoDot(const std::string& fileName);
// The executable's folder with a trailing "/".
std::string ExeFolder();

}  // namespace kv::workflow
