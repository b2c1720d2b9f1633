#include "workflow/IniOptions.h"

#include <QThread>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "workflow/AppPaths.h"
#include "workflow/IniFile.h"
#include "workflow/ListError.h"

namespace kv::workflow {

TIniOptions IniOptions;

namespace {

std::string FormatSection(int index)
{
    return "Format" + std::to_string(index);
}

}  // namespace

void TIniOptions::LoadFromFile(const std::string& fileName)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(fileName, ec)) return;
    const TIniFile ini(fileName);
    ReadFrom(&ini);
}

void TIniOptions::SaveToFile(const std::string& fileName)
{
    TIniFile ini(fileName);
    WriteTo(&ini);
    ini.UpdateFile();
}

void TIniOptions::ReadFrom(const TIniFile* ini)
{
    if (!ini) return;
    FormatCount = std::min(ini->ReadInteger("Format", "Count", 1), MaxFormatCount);
    Formats.assign(FormatCount > 0 ? static_cast<std::size_t>(FormatCount) : 0, TFormatRec());
    for (int i = 0; i < FormatCount; ++i) {
        const std::string s = FormatSection(i);
        TFormatRec& f = Formats[static_cast<std::size_t>(i)];
        // The stock name named a maker's player; the fallback stays neutral.
        f.Name = ini->ReadString(s, "Name", "MP4 - Portable Player MPEG-4(*.mp3)");
        f.Ext = ini->ReadString(s, "Ext", ".3gp");
        f.Category = ini->ReadInteger(s, "Category", 1);
        f.Resolution = ini->ReadString(s, "Resolution", "240*160,320*240,480*272,480*320,640*480");
        f.ResolutionValue = ini->ReadInteger(s, "ResolutionValue", 2);
        f.Framerate = ini->ReadString(s, "Framerate", DefaultFramerateList);
        f.FramerateValue = ini->ReadInteger(s, "FramerateValue", 2);
        f.FrameAspectRatio = ini->ReadString(s, "FrameAspectRatio", "4:3");
        f.VideoEncoder = ini->ReadString(s, "VideoEncoder", "Xvid");
        f.VideoEncoderValue = ini->ReadInteger(s, "VideoEncoderValue", 0);
        f.VideoBitRate = ini->ReadString(s, "VideoBitRate", "256kbps");
        f.VideoBitRateValue = ini->ReadInteger(s, "VideoBitRateValue", 0);
        f.SampleRate = ini->ReadString(s, "SampleRate", "22050 Hz,32000 Hz,44100 Hz,48000 Hz");
        f.SampleRateValue = ini->ReadInteger(s, "SampleRateValue", 2);
        f.AudioBitrate = ini->ReadString(s, "AudioBitrate", "64 kbps,96 kbps,128 kbps,160 kbps,192 kbps,256 kbps");
        f.AudioBitrateValue = ini->ReadInteger(s, "AudioBitrateValue", 2);
        f.AudioEncoder = ini->ReadString(s, "AudioEncoder", "MP3");
        f.AudioEncoderValue = ini->ReadInteger(s, "AudioEncoderValue", 0);
        f.Channel = ini->ReadString(s, "Channel", "1 Channel Mono, 2 Channels Stereo");
        f.ChannelValue = ini->ReadInteger(s, "ChannelValue", 1);
        // 256 leaves the loudness as it is; a profile without the key must not turn it down.
        f.Volume = ini->ReadInteger(s, "Volume", 256);
    }
    OutputFormat = ini->ReadInteger("Output", "Format", 0);
    OutputFolder = ini->ReadString("Output", "Folder", std::string());
    Jobs = ClampJobs(ini->ReadInteger("Output", "Jobs", 1));
    IfExists = std::clamp(ini->ReadInteger("Output", "IfExists", 0), 0, 2);
    KeepFolders = ini->ReadInteger("Output", "KeepFolders", 0) != 0;
    SnapshotFormat = ini->ReadInteger("SnapShot", "Format", 0);
    SnapshotFolder = ini->ReadString("SnapShot", "Folder", DefaultSnapshotFolder());
    SnapshotNaming = ini->ReadInteger("SnapShot", "Name", 0);
    PreviewVolume = std::clamp(ini->ReadInteger("Preview", "Volume", 100), 0, 100);
}

void TIniOptions::WriteTo(TIniFile* ini) const
{
    if (!ini) return;
    for (int i = 0; i < FormatCount && i < static_cast<int>(Formats.size()); ++i) {
        const std::string s = FormatSection(i);
        const TFormatRec& f = Formats[static_cast<std::size_t>(i)];
        ini->WriteInteger(s, "ResolutionValue", f.ResolutionValue);
        ini->WriteInteger(s, "FramerateValue", f.FramerateValue);
        ini->WriteInteger(s, "VideoEncoderValue", f.VideoEncoderValue);
        ini->WriteInteger(s, "VideoBitRateValue", f.VideoBitRateValue);
        ini->WriteInteger(s, "SampleRateValue", f.SampleRateValue);
        ini->WriteInteger(s, "AudioBitrateValue", f.AudioBitrateValue);
        ini->WriteInteger(s, "AudioEncoderValue", f.AudioEncoderValue);
        ini->WriteInteger(s, "ChannelValue", f.ChannelValue);
        ini->WriteInteger(s, "Volume", f.Volume);
    }
    ini->WriteInteger("Output", "Format", OutputFormat);
    if (!OutputFolder.empty()) ini->WriteString("Output", "Folder", OutputFolder);
    ini->WriteInteger("Output", "Jobs", ClampJobs(Jobs));
    ini->WriteInteger("Output", "IfExists", std::clamp(IfExists, 0, 2));
    ini->WriteInteger("Output", "KeepFolders", KeepFolders ? 1 : 0);
    ini->WriteInteger("SnapShot", "Format", SnapshotFormat);
    if (!SnapshotFolder.empty()) ini->WriteString("SnapShot", "Folder", SnapshotFolder);
    ini->WriteInteger("SnapShot", "Name", SnapshotNaming);
    // A file that never had the key keeps its shape until the volume is changed.
    if (PreviewVolume != 100 || ini->ValueExists("Preview", "Volume"))
        ini->WriteInteger("Preview", "Volume", PreviewVolume);
}

TFormatRec TIniOptions::GetFormat(int index) const
{
    if (index < 0 || index >= static_cast<int>(Formats.size())) throw EListError(index);
    return Formats[static_cast<std::size_t>(index)];
}

void TIniOptions::SetFormat(int index, const TFormatRec& format)
{
    if (index < 0 || index >= static_cast<int>(Formats.size())) throw EListError(index);
    Formats[static_cast<std::size_t>(index)] = format;
}

int TIniOptions::MaxJobs()
{
    return std::max(1, QThread::idealThreadCount());
}

int TIniOptions::ClampJobs(int jobs)
{
    return std::clamp(jobs, 1, MaxJobs());
}

bool TIniOptions::SplitList(const std::string& text, std::vector<std::string>& list)
{
    list.clear();
    if (text.empty()) return false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos) {
            list.push_back(text.substr(pos));
            break;
        }
        list.push_back(text.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return true;
}

std::string TextBefore(const std::string& text, const std::string& separator)
{
    const std::size_t at = separator.empty() ? std::string::npos : text.find(separator);
    return at == std::string::npos ? text : text.substr(0, at);
}

std::string ExtNoDot(const std::string& fileName)
{
    const std::size_t dot = fileName.rfind('.');
    const std::size_t slash = fileName.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return fileName.substr(dot + 1);
}

std::string ExeFolder()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "./";
    std::string folder = exe.parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace kv::workflow
