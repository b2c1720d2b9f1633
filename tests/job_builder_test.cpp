// The job builder: encoder names, reading profile entries, output names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>
#include <string>

#include "workflow/JobBuilder.h"
#include "workflow/ListError.h"

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
