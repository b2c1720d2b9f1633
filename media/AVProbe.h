#pragma once
// Opens a media file (or borrows a format context somebody else opened) and
// answers questions about its container: stream counts, first stream of each
// kind, start time, duration, bit rate, size and text metadata.
#include <cstdint>
#include <stdexcept>
#include <string>

struct AVFormatContext;

namespace kv::media {

// Container-level facts of a probed file. Times are microseconds, -1 when unknown.
struct TFileStreamInfo {
    std::int64_t StartTime = -1;
    std::int64_t Duration = -1;
    std::int32_t BitRate = -1;
    std::int64_t Timestamp = -1;  // creation time in microseconds since 1970, 0 when the file has none
    std::int32_t Year = -1;       // from the "date" tag, 0 when the file has none
    std::int32_t Track = -1;      // from the "track" tag, 0 when the file has none
    std::string Title;
    std::string Author;  // today's files call it "artist"
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};

// Raised by OpenFile and Attach when a library they need is not loaded.
class ProbeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TCustomAVProbe {
public:
    TCustomAVProbe();
    virtual ~TCustomAVProbe();
    TCustomAVProbe(const TCustomAVProbe&) = delete;
    TCustomAVProbe& operator=(const TCustomAVProbe&) = delete;

    // Inspects a context somebody else opened and still owns; it is never closed
    // here. Null detaches.
    virtual void Attach(AVFormatContext* context);
    // Releases the context (closing it only when owned) and forgets its facts.
    virtual void Close();

    // Opens and analyses `fileName`, forcing the input format `formatName` when
    // not empty. On false, LastError says why and the probe holds no context.
    bool OpenFile(const std::string& fileName, const std::string& formatName = std::string());

    void GetFileStreamInfo(TFileStreamInfo& info) const;
    // Size in bytes; -1 without a context.
    std::int64_t GetFileSize() const;
    // The first video stream's picture as it is shown: turned upright as the
    // container says; false (and 0 x 0) without a video stream of known size.
    bool GetVideoFrameSize(int& width, int& height) const;

protected:
    AVFormatContext* FormatContext() const { return FFormatContext; }
    bool OwnsContext() const { return FOwnsContext; }
    const std::string& LastError() const { return FLastError; }
    const std::string& ForcedFormat() const { return FForcedFormat; }
    int StreamCount() const { return FStreamCount; }
    int ProgramCount() const { return FProgramCount; }
    int AudioStreamCount() const { return FAudioStreamCount; }
    int VideoStreamCount() const { return FVideoStreamCount; }
    int SubtitleStreamCount() const { return FSubtitleStreamCount; }
    int FirstAudioStream() const { return FFirstAudioStream; }
    int FirstVideoStream() const { return FFirstVideoStream; }
    int FirstSubtitleStream() const { return FFirstSubtitleStream; }

private:
    void CheckLibraries() const;
    void UpdateStreamCounts();

    AVFormatContext* FFormatContext = nullptr;
    bool FOwnsContext = false;
    std::string FLastError;
    std::string FForcedFormat;
    int FStreamCount = -1;
    int FProgramCount = -1;
    int FAudioStreamCount = -1;
    int FVideoStreamCount = -1;
    int FSubtitleStreamCount = -1;
    int FFirstAudioStream = -1;
    int FFirstVideoStream = -1;
    int FFirstSubtitleStream = -1;
};

// The probe the system creates; it makes every fact readable.
class TAVProbe : public TCustomAVProbe {
public:
    TAVProbe();
    ~TAVProbe() override;
    void Close() override;

    using TCustomAVProbe::AudioStreamCount;
    using TCustomAVProbe::FirstAudioStream;
    using TCustomAVProbe::FirstSubtitleStream;
    using TCustomAVProbe::FirstVideoStream;
    using TCustomAVProbe::ForcedFormat;
    using TCustomAVProbe::FormatContext;
    using TCustomAVProbe::LastError;
    using TCustomAVProbe::OwnsContext;
    using TCustomAVProbe::ProgramCount;
    using TCustomAVProbe::StreamCount;
    using TCustomAVProbe::SubtitleStreamCount;
    using TCustomAVProbe::VideoStreamCount;
};

}  // namespace kv::media
