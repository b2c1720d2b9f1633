// The settings file: reading with defaults, writing only the remembered choices, and
// saves that leave the rest of a hand-written file, or the whole old file on failure, alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "workflow/IniFile.h"
#include "workflow/IniOptions.h"
#include "workflow/ListError.h"

using namespace kv::workflow;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path Path;
    TempDir()
    {
        std::string t = (fs::temp_directory_path() / "kv_ini_XXXXXX").string();
        Path = ::mkdtemp(t.data());
        fs::permissions(Path, fs::perms(0755));
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::permissions(Path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(Path, ec);
    }
    std::string operator/(const std::string& name) const { return (Path / name).string(); }
};

void Put(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string Get(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int FileCount(const fs::path& folder)
{
    return static_cast<int>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// Runs `body` in a child process and returns its exit code (77 = could not set up).
template <class F>
int InChild(F body)
{
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

int SaveExpectingFailure(TIniOptions& options, const std::string& path)
{
    try {
        options.SaveToFile(path);
    } catch (const EIniFileException& e) {
        return e.what() == "Unable to write to " + path ? 0 : 2;
    }
    return 1;
}

const char* const HandWritten =
    "; Catalogue shipped by the packager\r\n"
    "[format]\r\n"
    "count = 1\r\n"
    "\r\n"
    "[FORMAT0]\r\n"
    "Name = Phone 3GP  \r\n"
    "Ext=.3gp\r\n"
    "Resolution=176*144,320*240\r\n"
    "RESOLUTIONVALUE = 0\r\n"
    "; a reader-only key\r\n"
    "Custom=keep me\r\n"
    "Volume=256\r\n"
    "\r\n"
    "# belongs to the next section\r\n"
    "[Vendor]\r\n"
    "Anything=at all\r\n"
    "[Output]\r\n"
    "Folder=/srv/old out\r\n"
    "[SnapShot]\r\n"
    "Format=1\r\n"
    "Folder=/srv/shots\r\n"
    "Name=$1";  // no final line end

}  // namespace

TEST(IniInteger, HexDecimalAndBadValues)
{
    const struct { const char* Text; bool Ok; int Value; } cases[] = {
        {"12", true, 12},           {"-7", true, -7},          {"+5", true, 5},
        {"0x1F", true, 31},         {"0X1f", true, 31},        {"$FF", true, 255},
        {"$FFFFFFFF", true, -1},    {"0x7fffffff", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"0x", false, 0},           {"$", false, 0},           {"0x1G", false, 0},
        {"0x100000000", false, 0},  {"2147483648", false, 0},  {"12abc", false, 0},
        {"", false, 0},             {"-", false, 0},           {"1 2", false, 0},
        {"-0x10", false, 0},        {"1.5", false, 0},
    };
    for (const auto& c : cases) {
        int v = 0;
        EXPECT_EQ(TryParseIniInteger(c.Text, v), c.Ok) << c.Text;
        if (c.Ok) { EXPECT_EQ(v, c.Value) << c.Text; }
    }
    TempDir dir;
    Put(dir / "a.ini", "[s]\nbad=12abc\nhex= 0x10 \nempty=\n");
    const TIniFile ini(dir / "a.ini");
    EXPECT_EQ(ini.ReadInteger("S", "BAD", 42), 42);
    EXPECT_EQ(ini.ReadInteger("s", "hex", 42), 16);
    EXPECT_EQ(ini.ReadInteger("s", "empty", 42), 42);
    EXPECT_EQ(ini.ReadString("s", "empty", "dflt"), "");  // present but empty is not absent
    EXPECT_EQ(ini.ReadString("s", "missing", "dflt"), "dflt");
}

TEST(IniFile, FirstOfDuplicatesAndQuotedValuesRoundTrip)
{
    TempDir dir;
    Put(dir / "a.ini", "[A]\nk=first\nK=second\n[a]\nk=third\n");
    TIniFile ini(dir / "a.ini");
    EXPECT_EQ(ini.ReadString("a", "k", ""), "first");
    const std::string values[] = {" lead and trail ", "\"quoted\"", "plain=with=equals", "semi;colon"};
    for (const std::string& v : values) {
        ini.WriteString("A", "k", v);
        EXPECT_EQ(ini.ReadString("A", "k", ""), v);
    }
    // A line break in a value must not make a section of its own.
    ini.WriteString("A", "k", "x\n[Evil]\nk=y");
    ini.UpdateFile();
    const TIniFile again(dir / "a.ini");
    EXPECT_FALSE(again.SectionExists("Evil"));
    EXPECT_EQ(again.ReadString("a", "K", ""), "x[Evil]k=y");
}

TEST(IniOptions, SaveChangesOnlyTheWrittenValues)
{
    TempDir dir;
    const std::string path = dir / "kestravo.ini";
    Put(path, HandWritten);
    TIniOptions o;
    o.LoadFromFile(path);
    ASSERT_EQ(o.FormatCount, 1);
    EXPECT_EQ(o.Formats[0].Name, "Phone 3GP");
    EXPECT_EQ(o.Formats[0].Framerate, DefaultFramerateList);
    EXPECT_EQ(o.OutputFolder, "/srv/old out");
    EXPECT_EQ(o.SnapshotNaming, 1);

    o.Formats[0].ResolutionValue = 1;
    o.OutputFolder.clear();  // empty in memory: the file's folder stays
    o.SaveToFile(path);
    const std::string once = Get(path);
    const std::string expected = std::string(HandWritten)
        .replace(std::string(HandWritten).find("RESOLUTIONVALUE = 0"), 19, "RESOLUTIONVALUE = 1");
    // The keys the section lacked follow its last entry; Volume is updated in place.
    std::string withNew = expected;
    withNew.insert(withNew.find("\r\n\r\n# belongs") + 2,
                   "FramerateValue=2\r\nVideoEncoderValue=0\r\nVideoBitRateValue=0\r\n"
                   "SampleRateValue=2\r\nAudioBitrateValue=2\r\nAudioEncoderValue=0\r\nChannelValue=1\r\n");
    withNew.replace(withNew.find("[SnapShot]"), 0, "Format=0\r\nJobs=1\r\nIfExists=0\r\nKeepFolders=0\r\n");
    EXPECT_EQ(once, withNew);

    o.SaveToFile(path);
    EXPECT_EQ(Get(path), once);
    TIniOptions reread;
    reread.LoadFromFile(path);
    EXPECT_EQ(reread.Formats, o.Formats);
}

TEST(IniOptions, CountZeroAndCountBeyondTheSections)
{
    TempDir dir;
    const std::string path = dir / "kestravo.ini";
    Put(path, "[Format]\nCount=0\n");
    TIniOptions none;
    none.LoadFromFile(path);
    EXPECT_EQ(none.FormatCount, 0);
    EXPECT_TRUE(none.Formats.empty());
    none.SaveToFile(path);
    const TIniFile written(path);
    EXPECT_FALSE(written.SectionExists("Format0"));
    EXPECT_TRUE(written.SectionExists("Output"));
    EXPECT_TRUE(written.SectionExists("SnapShot"));

    Put(path, "[Format]\nCount=3\n[Format0]\nName=Only\n");
    TIniOptions three;
    three.LoadFromFile(path);
    ASSERT_EQ(three.FormatCount, 3);
    TIniOptions defaults;
    TempDir empty;
    Put(empty / "d.ini", "[Format]\nCount=1\n");
    defaults.LoadFromFile(empty / "d.ini");
    EXPECT_EQ(three.Formats[1], defaults.Formats[0]);
    EXPECT_EQ(three.Formats[2], defaults.Formats[0]);
    EXPECT_EQ(defaults.Formats[0].Volume, 256);
    EXPECT_EQ(defaults.Formats[0].Channel, "1 Channel Mono, 2 Channels Stereo");
    EXPECT_EQ(defaults.SnapshotFolder, ExeFolder() + "Snapshot");
    three.SaveToFile(path);
    const TIniFile back(path);
    for (const char* s : {"Format1", "Format2"}) {
        EXPECT_EQ(back.ReadInteger(s, "ResolutionValue", -9), 2) << s;
        EXPECT_EQ(back.ReadInteger(s, "Volume", -9), 256) << s;
        EXPECT_FALSE(back.ValueExists(s, "Name")) << s;  // catalogue data is never written
    }
}

TEST(IniOptions, MissingFileLeavesStoreEmptyAndSaveCreatesIt)
{
    TempDir dir;
    TIniOptions o;
    o.LoadFromFile(dir / "absent.ini");
    EXPECT_EQ(o.FormatCount, 0);
    EXPECT_TRUE(o.SnapshotFolder.empty());
    EXPECT_THROW(o.GetFormat(0), EListError);
    o.OutputFormat = 4;
    o.SaveToFile(dir / "absent.ini");
    EXPECT_EQ(TIniFile(dir / "absent.ini").ReadInteger("output", "format", 0), 4);
}

TEST(IniOptions, SaveThroughASymbolicLinkKeepsTheLink)
{
    TempDir dir;
    Put(dir / "real.ini", "[Output]\nFormat=0\n");
    fs::create_symlink(dir / "real.ini", dir / "kestravo.ini");
    TIniOptions o;
    o.OutputFormat = 3;
    o.SaveToFile(dir / "kestravo.ini");
    EXPECT_TRUE(fs::is_symlink(dir / "kestravo.ini"));
    EXPECT_EQ(TIniFile(dir / "real.ini").ReadInteger("Output", "Format", 0), 3);
}

// A refused or failing write reports "Unable to write to <file>" and leaves the old file
// whole, with no temporary file behind.
TEST(IniOptions, FailedSaveKeepsTheOldFile)
{
    enum { ReadOnlyFolder, DiskFull, UnreadableFile };
    for (int mode : {ReadOnlyFolder, DiskFull, UnreadableFile}) {
        TempDir dir;
        const std::string path = dir / "kestravo.ini";
        Put(path, HandWritten);
        ::chmod(path.c_str(), 0644);
        TIniOptions o;
        o.LoadFromFile(path);
        o.Formats[0].Volume = 512;
        if (mode == UnreadableFile) {
            ::chmod(path.c_str(), 0);
            fs::permissions(dir.Path, fs::perms(0777));
        }
        o.OutputFolder = std::string(4096, 'x');  // more than the size limit lets through
        if (mode == ReadOnlyFolder) fs::permissions(dir.Path, fs::perms(0555));
        const int rc = InChild([&] {
            if (mode != DiskFull && ::geteuid() == 0 && ::setgid(65534) + ::setuid(65534) != 0) return 77;
            if (mode == DiskFull) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{1024, RLIM_INFINITY};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 77;
            }
            return SaveExpectingFailure(o, path);
        });
        if (rc == 77) GTEST_SKIP() << "cannot set up mode " << mode;
        EXPECT_EQ(rc, 0) << "mode " << mode;
        ::chmod(path.c_str(), 0644);
        EXPECT_EQ(Get(path), HandWritten) << "mode " << mode;
        EXPECT_EQ(FileCount(dir.Path), 1) << "mode " << mode;
    }
}

// The number of files converted at once: 1 unless set, never more than the cores.
TEST(IniOptions, JobsStoredAndReadBackWithinTheCores)
{
    const int cores = TIniOptions::MaxJobs();
    const struct { const char* Line; int Jobs; } cases[] = {
        {"", 1}, {"Jobs=1\n", 1}, {"Jobs=2\n", std::min(2, cores)}, {"Jobs=0\n", 1},
        {"Jobs=-3\n", 1}, {"Jobs=9999\n", cores}, {"Jobs=two\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        TempDir dir;
        const std::string path = dir / "kestravo.ini";
        Put(path, std::string("[Output]\nFormat=0\n") + c.Line);
        TIniOptions o;
        o.LoadFromFile(path);
        EXPECT_EQ(o.Jobs, c.Jobs);
        o.SaveToFile(path);
        EXPECT_EQ(TIniFile(path).ReadInteger("Output", "Jobs", -9), c.Jobs);
    }
    TempDir dir;
    TIniOptions o;
    o.Jobs = cores;
    o.SaveToFile(dir / "kestravo.ini");
    TIniOptions back;
    back.LoadFromFile(dir / "kestravo.ini");
    EXPECT_EQ(back.Jobs, cores);
}

TEST(IniOptions, FormatAccessAndListHelpers)
{
    TIniOptions o;
    o.FormatCount = 2;
    o.Formats.resize(2);
    TFormatRec r = o.GetFormat(1);
    r.Name = "changed";
    EXPECT_TRUE(o.Formats[1].Name.empty());  // a copy
    o.SetFormat(1, r);
    EXPECT_EQ(o.GetFormat(1).Name, "changed");
    EXPECT_THROW(o.SetFormat(2, r), EListError);
    EXPECT_THROW(o.GetFormat(-1), EListError);

    const struct { const char* Text; bool Result; std::vector<std::string> Entries; } splits[] = {
        {"1 Channel Mono, 2 Channels Stereo", true, {"1 Channel Mono", " 2 Channels Stereo"}},
        {"a,,b", true, {"a", "", "b"}},
        {"a,b,", true, {"a", "b"}},
        {",a", true, {"", "a"}},
        {"", false, {}},
    };
    for (const auto& c : splits) {
        std::vector<std::string> list{"stale"};
        EXPECT_EQ(TIniOptions::SplitList(c.Text, list), c.Result) << c.Text;
        EXPECT_EQ(list, c.Entries) << c.Text;
    }
    EXPECT_EQ(TextBefore("44100 Hz", " Hz"), "44100");
    EXPECT_EQ(TextBefore("256kbps", " kbps"), "256kbps");
    EXPECT_EQ(ExtNoDot("/media/clip.Avi"), "Avi");
    EXPECT_EQ(ExtNoDot("/media.d/clip"), "");
    EXPECT_EQ(ExtNoDot("clip.tar.gz"), "gz");
}

// Settings files as a crash or a careless program leaves them: start-up reads each
// without failing, and a file that could not be read is never written over.
TEST(IniOptions, DamagedSettingsFilesNeverStopStartUpNorGetSavedOver)
{
    std::string garbage(4096, '\0');
    std::mt19937 random(18);
    for (char& c : garbage) c = static_cast<char>(random());
    // A count no catalogue has, and megabytes of notes among the profiles.
    std::string large = "[Format]\nCount=2147483647\n";
    for (int i = 0; i < 30; ++i)
        large += "[Format" + std::to_string(i) + "]\nName=P " + std::to_string(i) + "\nExt=.mp4\nVolume=256\n";
    large += "[Vendor]\nNotes=" + std::string(4 << 20, 'n') + "\n";
    const std::string handWritten = HandWritten;
    const struct {
        const char* Name;
        std::string Text;
        std::uintmax_t SparseSize;   // > 0: that many zero bytes instead of Text
        bool Readable;
        int FormatCount;
        const char* FirstName;
    } cases[] = {
        {"empty", "", 0, true, 1, "MP4 - Portable Player MPEG-4(*.mp3)"},
        {"cut inside a section", handWritten.substr(0, handWritten.find("Resolution=176*1") + 16), 0, true, 1,
         "Phone 3GP"},
        {"binary garbage", garbage, 0, false, 1, "MP4 - Portable Player MPEG-4(*.mp3)"},
        {"several megabytes", large, 0, true, MaxFormatCount, "P 0"},
        {"larger than any settings file", "", TIniFile::MaxFileSize + 1, false, 1,
         "MP4 - Portable Player MPEG-4(*.mp3)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        const std::string path = dir / "kestravo.ini";
        Put(path, c.Text);
        if (c.SparseSize) fs::resize_file(path, c.SparseSize);
        const std::string before = c.Readable || c.SparseSize ? std::string() : Get(path);
        TIniOptions o;
        ASSERT_NO_THROW(o.LoadFromFile(path));
        ASSERT_EQ(o.FormatCount, c.FormatCount);
        ASSERT_EQ(o.Formats.size(), static_cast<std::size_t>(c.FormatCount));
        EXPECT_EQ(o.Formats[0].Name, c.FirstName);
        o.OutputFormat = 1;
        if (!c.Readable) {
            EXPECT_EQ(SaveExpectingFailure(o, path), 0);
            if (c.SparseSize) {
                EXPECT_EQ(fs::file_size(path), c.SparseSize);
            } else {
                EXPECT_EQ(Get(path), before);
            }
            continue;
        }
        o.SaveToFile(path);
        TIniOptions again;
        again.LoadFromFile(path);
        EXPECT_EQ(again.OutputFormat, 1);
        EXPECT_EQ(again.Formats, o.Formats);
        if (c.FormatCount == MaxFormatCount) {
            EXPECT_EQ(again.Formats[29].Name, "P 29");
            EXPECT_EQ(TIniFile(path).ReadString("Vendor", "Notes", "").size(), std::size_t(4) << 20);
        }
    }
}
