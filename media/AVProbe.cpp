#include "media/AVProbe.h"
#include "media/PictureOrientation.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFUtils.h"
#include "media/FFmpegLoader.h"
#include "media/MyUtils.h"

namespace kv::media {

namespace {

constexpr int ProbeLogLevel = 1;

void LogNotLoaded()
{
    // The libraries may not be loaded at all; then there is nobody to tell.
    if (av::av_log) av::av_log(nullptr, ProbeLogLevel, "file not loaded.\n");
}

std::int64_t KnownTime(std::int64_t t)
{
    return t == AV_NOPTS_VALUE ? -1 : t;
}

// Leading number of a tag such as "2009-06-01" or "3/12"; 0 when there is none.
std::int32_t TagNumber(const AVDictionary* metadata, const char* key)
{
    const std::string text = GetMetadataValue(metadata, key, std::string());
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return value > INT32_MAX || value < INT32_MIN ? 0 : static_cast<std::int32_t>(value);
}

// The format library reads "name:rest" as protocol "name". A local file whose name
// merely contains a colon there ("clip:1.avi", "data:x.avi") is named through the
// file protocol so that it is opened as the file it is.
std::string LocalFileUrl(const std::string& fileName)
{
    const std::size_t colon = fileName.find(':');
    if (colon == std::string::npos || fileName.find('/') < colon) return fileName;
    return GetFileSizeByName(fileName) >= 0 ? "file:" + fileName : fileName;
}

}  // namespace

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe()
{
    TCustomAVProbe::Close();
}

void TCustomAVProbe::CheckLibraries() const
{
    if (!FFLoader.LibLoaded(libAVCodec)) throw ProbeError("LibAVCodec not loaded.");
    if (!FFLoader.LibLoaded(libAVFormat)) throw ProbeError("LibAVFormat not loaded.");
    if (!FFLoader.LibLoaded(libAVUtil)) throw ProbeError("LibAVUtil not loaded.");
    if (!FFLoader.LibLoaded(libSwScale)) throw ProbeError("LibSwScale not loaded.");
}

bool TCustomAVProbe::OpenFile(const std::string& fileName, const std::string& formatName)
{
    CheckLibraries();
    Close();

    const AVInputFormat* format = nullptr;
    if (!formatName.empty()) {
        format = av::av_find_input_format(formatName.c_str());
        if (!format) {
            FLastError = "Unknown input format: " + formatName;
            return false;
        }
    }

    // Today's avformat_open_input takes a context allocated by its caller as a
    // matter of course, so no "caller allocated" flag is needed; on failure it
    // frees that context and nulls the pointer.
    FFormatContext = av::avformat_alloc_context();
    if (!FFormatContext) {
        FLastError = OpenErrorText(fileName, AVERROR(ENOMEM));
        return false;
    }
    FOwnsContext = true;

    const std::string url = LocalFileUrl(fileName);
    const int opened = av::avformat_open_input(&FFormatContext, url.c_str(), format, nullptr);
    if (opened < 0) {
        FLastError = OpenErrorText(fileName, opened);
        Close();
        return false;
    }
    // A container without a single stream (random bytes taken for some format, a
    // bare metadata file) holds nothing to convert or play: refused like a file
    // whose streams cannot be analysed, rather than reported as a usable file.
    if (av::avformat_find_stream_info(FFormatContext, nullptr) < 0 || FFormatContext->nb_streams == 0) {
        FLastError = fileName + ": could not find codec parameters";
        Close();
        return false;
    }
    UpdateStreamCounts();
    FForcedFormat = formatName;
    return true;
}

void TCustomAVProbe::Attach(AVFormatContext* context)
{
    CheckLibraries();
    Close();
    FOwnsContext = false;
    FFormatContext = context;
    UpdateStreamCounts();
}

void TCustomAVProbe::Close()
{
    // The probe also shows a context it borrowed (a task's input), which it must not close.
    if (FFormatContext && FOwnsContext) av::avformat_close_input(&FFormatContext);
    FFormatContext = nullptr;
    FOwnsContext = false;
    FForcedFormat.clear();
    UpdateStreamCounts();
}

void TCustomAVProbe::UpdateStreamCounts()
{
    FStreamCount = FProgramCount = -1;
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
    FFirstAudioStream = FFirstVideoStream = FFirstSubtitleStream = -1;
    if (!FFormatContext) return;
    FStreamCount = static_cast<int>(FFormatContext->nb_streams);
    FProgramCount = static_cast<int>(FFormatContext->nb_programs);
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
    for (int i = 0; i < FStreamCount; ++i) {
        const AVStream* st = FFormatContext->streams[i];
        switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            ++FVideoStreamCount;
            if (FFirstVideoStream < 0) FFirstVideoStream = i;
            break;
        case AVMEDIA_TYPE_AUDIO:
            ++FAudioStreamCount;
            if (FFirstAudioStream < 0) FFirstAudioStream = i;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            ++FSubtitleStreamCount;
            if (FFirstSubtitleStream < 0) FFirstSubtitleStream = i;
            break;
        default: break;
        }
    }
}

void TCustomAVProbe::GetFileStreamInfo(TFileStreamInfo& info) const
{
    info = TFileStreamInfo();
    if (!FFormatContext) {
        LogNotLoaded();
        return;
    }
    const AVFormatContext* ic = FFormatContext;
    const AVDictionary* meta = ic->metadata;
    info.StartTime = KnownTime(ic->start_time);
    info.Duration = KnownTime(ic->duration);
    info.BitRate = ic->bit_rate > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(ic->bit_rate);
    // Today's libraries carry time stamp, year and track as tags rather than fields.
    info.Timestamp = 0;
    const std::string created = GetMetadataValue(meta, "creation_time", std::string());
    std::int64_t when = 0;
    if (!created.empty() && av::av_parse_time(&when, created.c_str(), 0) >= 0) info.Timestamp = when;
    info.Year = TagNumber(meta, "date");
    if (info.Year == 0) info.Year = TagNumber(meta, "year");
    info.Track = TagNumber(meta, "track");
    info.Title = GetMetadataValue(meta, "title", std::string());
    info.Author = GetMetadataValue(meta, "author", std::string());
    if (info.Author.empty()) info.Author = GetMetadataValue(meta, "artist", std::string());
    info.Copyright = GetMetadataValue(meta, "copyright", std::string());
    info.Comment = GetMetadataValue(meta, "comment", std::string());
    info.Album = GetMetadataValue(meta, "album", std::string());
    info.Genre = GetMetadataValue(meta, "genre", std::string());
}

std::int64_t TCustomAVProbe::GetFileSize() const
{
    if (!FFormatContext) {
        LogNotLoaded();
        return -1;
    }
    const std::int64_t reported = FFormatContext->pb ? av::avio_size(FFormatContext->pb) : 0;
    if (reported > 0) return reported;
    if (FFormatContext->url) {
        const std::string name(FFormatContext->url, ::strnlen(FFormatContext->url, 1024));
        if (GetFileSizeByName(name) >= 0) return GetFileSizeByName(name);
    }
    return reported;
}

bool TCustomAVProbe::GetVideoFrameSize(int& width, int& height) const
{
    width = height = 0;
    if (!FFormatContext || FFirstVideoStream < 0) return false;
    const AVStream* st = FFormatContext->streams[FFirstVideoStream];
    if (st->codecpar->width <= 0 || st->codecpar->height <= 0) return false;
    width = st->codecpar->width;
    height = st->codecpar->height;
    UprightSize(StreamOrientation(st), width, height);
    return true;
}

TAVProbe::TAVProbe() = default;

TAVProbe::~TAVProbe()
{
    TAVProbe::Close();
}

void TAVProbe::Close()
{
    TCustomAVProbe::Close();
}

}  // namespace kv::media
