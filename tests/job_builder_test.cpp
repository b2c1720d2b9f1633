// The job builder: encoder names, reading profile entries, output names.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>
#include <string>

#include "tests/support/CoreApplication.h"
#include "workflow/IniOptions.h"
#include "workflow/JobBuilder.h"
#include "workflow/ListError.h"
#include "workflow/SourceFacts.h"
#include "workflow/ZelConvert.h"

using namespace kv::workflow;
namespace fs = std::filesystem;

TEST(JobBuilder, EncoderNameTables)
{
    const struct { const char* Entry; const char* Audio; const char* Video; } cases[] = {
        {"AMR_NB", "libamr_nb", "amr_nb"},
        {"AAC", "libfaac", "aac"},
        {"wav", "pcm_s16le", "wav"},
        {"mP3 AuDiO", "libmp3lame", "mp3 audio"},
        {"AC-3 Audio", "ac3", "ac-3 audio"},
        {"MPEG-2 Audio", "mp2", "mpeg-2 audio"},
        {"Ogg", "vorbis", "ogg"},
        {"H.263 Video", "h.263 video", "h263"},
        {"H.264", "h.264", "libx264"},
        {"XviD", "xvid", "libxvid"},
        {"MPEG-1 Video", "mpeg-1 video", "mpeg1video"},
        {"MPEG-2 Video", "mpeg-2 video", "mpeg2video"},
        {"FLV Video", "flv video", "flv"},
        // Not in the tables: lower-cased, otherwise unchanged.
        {"pcm_s16le", "pcm_s16le", "pcm_s16le"},
        {"MPEG4", "mpeg4", "mpeg4"},
        {" MP3 Audio", " mp3 audio", " mp3 audio"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AudioCodecName(c.Entry), c.Audio) << c.Entry;
        EXPECT_EQ(VideoCodecName(c.Entry), c.Video) << c.Entry;
    }
}

TEST(JobBuilder, AudioFileTypesAndAspects)
{
    for (const char* ext : {".mp3", ".MP3", ".m4a", ".ogg", ".flac", ".wav", ".ac3", ".mp2", ".mka", ".a"})
        EXPECT_TRUE(IsAudioFileType(ext)) << ext;  // ".A" is a substring of ".AAC" and ".APE"
    for (const char* ext : {".mp4", ".3gp", ".avi", ".mkv", ".webm", ""}) EXPECT_FALSE(IsAudioFileType(ext)) << ext;

    const char* aspects[] = {"", "4:3", "16:9", "37:20", "47:20", ""};
    for (int i = 0; i <= 5; ++i) EXPECT_EQ(AspectText(i), aspects[i]) << i;
    EXPECT_EQ(AspectText(-1), "");
}

TEST(JobBuilder, EntryReading)
{
    const struct { const char* Entry; const char* Suffix; int Value; } numbers[] = {
        {"44100 Hz", " Hz", 44100},
        {"128 kbps", " kbps", 128},
        {"25 fps", " fps", 25},
        {"256kbps", " kbps", 256},   // the built-in default writes no blank
        {" 96 kbps", " kbps", 96},   // a blank after the list's comma
        {"8000", " Hz", 8000},
        {"64 KBPS", " kbps", 64},
    };
    for (const auto& c : numbers) EXPECT_EQ(EntryNumber(c.Entry, c.Suffix), c.Value) << c.Entry;
    for (const char* bad : {"", "kbps", "High kbps", "12x kbps", "99999999999 kbps"})
        EXPECT_THROW(EntryNumber(bad, " kbps"), EConvertError) << bad;

    EXPECT_EQ(ChannelCount("1 Channel Mono"), 1);
    EXPECT_EQ(ChannelCount(" 2 Channels Stereo"), 2);
    EXPECT_EQ(ChannelCount("6 Channels 5.1"), 6);
    EXPECT_THROW(ChannelCount("Stereo"), EConvertError);
    EXPECT_THROW(ChannelCount(""), EConvertError);

    EXPECT_EQ(FrameRateText("25 fps"), "25");
    EXPECT_EQ(FrameRateText("29.97 fps"), "29.97");
    EXPECT_EQ(FrameRateText("NTSC fps"), "ntsc");
    for (const char* keep : {"Keep original frame rate", "KEEP ORIGINAL FRAME RATE", "keep Original Frame rate"})
        EXPECT_EQ(FrameRateText(keep), "") << keep;

    const std::string list = "22050 Hz,32000 Hz, 44100 Hz";
    EXPECT_EQ(ListEntry(list, 0), "22050 Hz");
    EXPECT_EQ(ListEntry(list, 2), " 44100 Hz");
    EXPECT_THROW(ListEntry(list, 3), EListError);
    EXPECT_THROW(ListEntry(list, -1), EListError);
    EXPECT_THROW(ListEntry("", 0), EListError);
}

class OutputNaming : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("kv_naming_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    void Touch(const std::string& name) { std::ofstream(dir / name) << "x"; }
    fs::path dir;
};

TEST_F(OutputNaming, CollisionsOnDiskAndWithinBatch)
{
    const std::string folder = dir.string();
    std::set<std::string> used;  // the names earlier entries of the batch hold
    auto isUsed = [&](const std::string& p) { return used.count(p) > 0; };

    // Two sources of the same name from different folders, one batch, empty folder.
    const std::string a = MakeOutputName("/a/clip.avi", folder, ".3gp", isUsed);
    EXPECT_EQ(a, folder + "/clip.3gp");
    used.insert(a);
    const std::string b = MakeOutputName("/b/clip.avi", folder + "/", ".3gp", isUsed);
    EXPECT_EQ(b, folder + "/clip_1.3gp");

    // The next batch finds the files of the first on disk.
    Touch("clip.3gp");
    Touch("clip_1.3gp");
    used.clear();
    EXPECT_EQ(MakeOutputName("/a/clip.avi", folder, ".3gp", isUsed), folder + "/clip_2.3gp");

    // A dangling link is a taken name too.
    fs::create_symlink(dir / "nowhere", dir / "song.mp3");
    EXPECT_EQ(MakeOutputName("/m/song.wav", folder, ".mp3", nullptr), folder + "/song_1.mp3");

    // Converting into the source's own folder with its own extension never picks the source.
    Touch("movie.mp4");
    EXPECT_EQ(MakeOutputName(folder + "/movie.mp4", folder, ".mp4", nullptr), folder + "/movie_1.mp4");
    // Only the last extension is replaced; a name without one gets the extension appended.
    EXPECT_EQ(MakeOutputName("/x/my.clip.avi", folder, ".mkv", nullptr), folder + "/my.clip.mkv");
    EXPECT_EQ(MakeOutputName("/x/noext", folder, ".mkv", nullptr), folder + "/noext.mkv");
}

// ---------------------------------------------------------------- records from a profile

namespace {

TFormatRec Profile(int category, const std::string& ext)
{
    TFormatRec f;
    f.Ext = ext;
    f.Category = category;
    f.Resolution = "176*144,320*240";
    f.ResolutionValue = 1;
    f.Framerate = "15 fps,KEEP ORIGINAL FRAME RATE";
    f.FramerateValue = 1;
    f.VideoEncoder = "H.264,Xvid";
    f.VideoEncoderValue = 0;
    f.VideoBitRate = "256kbps";
    f.SampleRate = "22050 Hz,44100 Hz";
    f.SampleRateValue = 1;
    f.AudioBitrate = "96 kbps,128 kbps";
    f.AudioBitrateValue = 1;
    f.AudioEncoder = "MP3 Audio,pcm_s16le";
    f.Channel = "1 Channel Mono, 2 Channels Stereo";
    f.ChannelValue = 1;
    f.Volume = 300;
    return f;
}

using kvtest::App;

const std::string MediaDir = KV_TEST_MEDIA_DIR;

}  // namespace

TEST(JobRecords, AudioAndVideoSettings)
{
    TFormatRec f = Profile(1, ".mp4");
    kv::engine::TOutputOptions out;
    kv::engine::InitOutputOptions(out);
    SetAudioOptions(f, out);
    EXPECT_EQ(out.AudioSampleRate, 44100);
    EXPECT_EQ(out.AudioBitrate, 128000);
    EXPECT_EQ(out.AudioCodec, "libmp3lame");
    EXPECT_EQ(out.AudioChannels, 2);
    EXPECT_EQ(out.AudioVolume, 300);
    SetVideoOptions(f, 2, out);
    EXPECT_EQ(out.VideoCodec, "libx264");
    EXPECT_EQ(out.FrameRate, "");  // kept, whatever the case of the entry
    EXPECT_EQ(out.FrameSize, "320*240");
    EXPECT_EQ(out.AspectRatio, "16:9");
    EXPECT_EQ(out.VideoBitrate, 256000);
    EXPECT_FALSE(out.DisableSubtitle);   // kept wherever the container takes them

    f.ChannelValue = 2;  // beyond the list
    EXPECT_THROW(SetAudioOptions(f, out), EListError);
    f = Profile(1, ".mp4");
    f.VideoBitRate = "99999999 kbps";  // more bits per second than the field holds
    EXPECT_THROW(SetVideoOptions(f, 0, out), EConvertError);
}

// Device profiles keep the picture's shape in square pixels; the aspect chosen for a
// file is then the frame's, fitted into the profile's size.
TEST(JobRecords, DeviceProfilesAskForSquarePixelsAndFitTheChosenAspect)
{
    const struct { const char* Name; bool Device; } names[] = {
        {"MP4 - Phone H.264 Video(*.mp4)", true},
        {"AVI - Portable Player Xvid Video(*.avi)", true},
        {"MP4 - Phone, Tablet and Computer HEVC 4K(*.mp4)", true},
        {"MKV - TV and Streaming Stick 4K HEVC 10-bit(*.mkv)", true},
        {"MP4 - H.264 Video(*.mp4)", false},
        {"MKV - H.265/HEVC Video(*.mkv)", false},   // "TV" only inside a word
        {"FLV - Flash Video(*.flv)", false},
        {"Odd(*.tv)", false},                         // the file type is not the device
    };
    for (const auto& n : names) {
        TFormatRec f = Profile(1, ".mp4");
        f.Name = n.Name;
        EXPECT_EQ(IsDeviceProfile(f), n.Device) << n.Name;
    }

    const struct { int W, H; const char* Aspect; int FrameW, FrameH; } frames[] = {
        {640, 360, "4:3", 480, 360},   {640, 480, "16:9", 640, 360}, {320, 240, "4:3", 320, 240},
        {176, 144, "47:20", 176, 74}, {640, 360, "", 640, 360},     {640, 360, "x", 640, 360},
    };
    for (const auto& c : frames) {
        const TFrameSize frame = AspectFrame({c.W, c.H}, c.Aspect);
        EXPECT_EQ(frame.Width, c.FrameW) << c.W << "x" << c.H << " " << c.Aspect;
        EXPECT_EQ(frame.Height, c.FrameH) << c.W << "x" << c.H << " " << c.Aspect;
    }

    TFormatRec f = Profile(1, ".mp4");
    f.Name = "MP4 - Phone H.264 Video(*.mp4)";
    f.Resolution = "640*360";
    f.ResolutionValue = 0;
    kv::engine::TOutputOptions out;
    kv::engine::InitOutputOptions(out);
    SetVideoOptions(f, 1, out);
    EXPECT_EQ(out.FrameSize, "480*360");
    EXPECT_EQ(out.AspectRatio, "4:3");
    EXPECT_NE(out.ExtOptions.find("keepshape=1"), std::string::npos) << out.ExtOptions;
    f.Name = "MP4 - H.264 Video(*.mp4)";   // not a device: the frame is the profile's
    kv::engine::InitOutputOptions(out);
    SetVideoOptions(f, 1, out);
    EXPECT_EQ(out.FrameSize, "640*360");
    EXPECT_EQ(out.ExtOptions.find("keepshape"), std::string::npos) << out.ExtOptions;
    f.VideoEncoder = "FLV Video";   // square pixels only, whatever the profile
    kv::engine::InitOutputOptions(out);
    SetVideoOptions(f, 1, out);
    EXPECT_EQ(out.FrameSize, "480*360");
}

class JobController : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        ASSERT_TRUE(converter.InitEngine()) << converter.Engine.LastErrMsg();
        dir = fs::temp_directory_path() / ("kv_jobs_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        converter.ClearTasks();
        fs::remove_all(dir);
    }
    TZelConvert converter;
    fs::path dir;
};

TEST_F(JobController, AdmissionNeedsAKnownLength)
{
    // Shorter than a second is still a file that converts; no known length is not.
    const struct {
        const char* name;
        int durationSec;
        std::int64_t trimMs;
        bool picture;
    } shortOnes[] = {{"short_0999ms.avi", 0, 999, true}, {"clip_0600ms.mkv", 0, 600, true},
                     {"sfx_0300ms.wav", 0, 300, false}};
    for (const auto& c : shortOnes) {
        SCOPED_TRACE(c.name);
        const int index = converter.AddFile(MediaDir + "/" + c.name);
        ASSERT_GE(index, 0) << converter.LastAddError();
        EXPECT_EQ(converter.Files.Items(index).DurationSec, c.durationSec);
        EXPECT_NEAR(converter.Files.Items(index).TrimLength, c.trimMs, 30);
        EXPECT_EQ(converter.Files.Items(index).HasPicture, c.picture);
    }
    converter.ClearFiles();
    EXPECT_EQ(converter.AddFile(MediaDir + "/still.png"), -2);
    EXPECT_NE(converter.LastAddError().find("of no known length"), std::string::npos) << converter.LastAddError();
    EXPECT_EQ(converter.AddFile(MediaDir + "/random.bin"), -2);
    EXPECT_EQ(converter.AddFile(MediaDir + "/empty.avi"), -2);
    EXPECT_EQ(converter.AddFile(dir.string() + "/missing.avi"), -2);
    EXPECT_EQ(converter.Files.Count(), 0);
    ASSERT_EQ(converter.AddFile(MediaDir + "/avi_mpeg4_mp2.avi"), 0);
    const TInputFile& f = converter.Files.Items(0);
    EXPECT_EQ(f.FileExt, "avi");
    EXPECT_EQ(f.DurationSec, 2);
    EXPECT_EQ(f.TrimLength / 1000, 2);  // the probe's duration in ms
    EXPECT_EQ(f.TrimStart, -1);
    EXPECT_EQ(f.InputOptions.FileName, MediaDir + "/avi_mpeg4_mp2.avi");
    EXPECT_GT(f.FileSize, 0);
}

// The same file is listed once, whatever path names it; another file of the same
// content is another file.
TEST_F(JobController, SameFileIsListedOnce)
{
    const fs::path clip = dir / "clip.avi";
    fs::copy_file(MediaDir + "/avi_mpeg4_mp2.avi", clip);
    fs::create_directory(dir / "sub");
    fs::create_symlink(clip, dir / "link.avi");
    fs::create_hard_link(clip, dir / "hard.avi");
    fs::copy_file(clip, dir / "copy.avi");
    ASSERT_EQ(converter.AddFile(clip.string()), 0);
    const struct { std::string Path; int Result; } cases[] = {
        {clip.string(), -1},
        {(dir / "link.avi").string(), -1},
        {(dir / "hard.avi").string(), -1},
        {(dir / "sub" / ".." / "clip.avi").string(), -1},
        {(dir / "copy.avi").string(), 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(converter.AddFile(c.Path), c.Result) << c.Path;
    }
    EXPECT_EQ(converter.Files.Count(), 2);
    // Once removed, the file may come back, by any of its paths.
    converter.RemoveFile(0);
    EXPECT_EQ(converter.AddFile((dir / "link.avi").string()), 1);
    EXPECT_EQ(converter.AddFile(clip.string()), -1);

    EXPECT_EQ(TZelConvert::AlreadyListedText(clip.string()), "\"" + clip.string() + "\" is already existing.");
    const fs::path here = fs::current_path();
    fs::current_path(dir);
    EXPECT_EQ(TZelConvert::AlreadyListedText("link.avi"), "\"" + (dir / "link.avi").string() + "\" is already existing.");
    fs::current_path(here);
}

TEST_F(JobController, RecordsByCategory)
{
    ASSERT_EQ(converter.AddFile(MediaDir + "/avi_mpeg4_mp2.avi"), 0);
    TInputFile& f = converter.Files.Items(0);
    f.AspectIndex = 1;
    f.TrimStart = 0;  // trimmed to start at the beginning
    const struct { int Category; const char* Ext; const char* ExtOptions; bool Video; bool DisableVideo; } cases[] = {
        {0, ".mp3", "vn=1", false, true},
        {1, ".mkv", "", true, false},
        {2, ".mkv", "", false, false},
        {1, ".mka", "", true, true},  // an audio file type with a video profile
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Category);
        IniOptions.Formats = {Profile(c.Category, c.Ext)};
        IniOptions.FormatCount = 1;
        converter.SetFormatIndex(0);
        converter.ClearTasks();
        converter.PrepareFile(0, dir.string(), c.Ext, c.Category);
        EXPECT_EQ(f.InputOptions.StartTime, 0);
        EXPECT_EQ(f.InputOptions.ExtOptions, c.ExtOptions);
        EXPECT_EQ(f.OutputOptions.FileName, dir.string() + "/avi_mpeg4_mp2" + c.Ext);
        EXPECT_EQ(f.OutputOptions.FileExt, c.Ext);
        EXPECT_EQ(f.OutputOptions.Duration, f.TrimLength);
        EXPECT_EQ(f.OutputOptions.TimeStamp, 0.0);
        EXPECT_EQ(f.OutputOptions.AudioCodec, "libmp3lame");
        EXPECT_EQ(f.OutputOptions.AudioSampleRate, 44100);
        EXPECT_EQ(f.OutputOptions.DisableVideo, c.DisableVideo);
        EXPECT_EQ(f.OutputOptions.VideoCodec, c.Video ? "libx264" : "");
        EXPECT_EQ(f.OutputOptions.FrameSize, c.Video ? "320*240" : "");
        EXPECT_EQ(f.OutputOptions.AspectRatio, c.Video ? "4:3" : "");
        EXPECT_EQ(f.OutputOptions.VideoBitrate, c.Video ? 256000 : -1);
        EXPECT_FALSE(f.OutputOptions.DisableSubtitle);
    }
}

// A turned phone clip is the portrait picture it shows: its facts, and the sizes
// fitted from them, are upright.
TEST_F(JobController, TurnedSourcesAreUprightInTheirFacts)
{
    const TSourceFacts facts = ReadSourceFacts(MediaDir + "/turn_90.mp4");
    EXPECT_EQ(facts.Width, 176);
    EXPECT_EQ(facts.Height, 320);
    TFormatRec f = Profile(1, ".mp4");
    f.Resolution = "Fit within 160*90";
    f.ResolutionValue = 0;
    kv::engine::TOutputOptions out;
    kv::engine::InitOutputOptions(out);
    SetVideoOptions(f, 0, facts, out);
    EXPECT_EQ(out.FrameSize, "88*160");
}
