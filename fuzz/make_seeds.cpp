// Writes the seed texts of the text fuzz targets into OUTDIR/<target>/:
//   make_seeds OUTDIR
// Each seed is one small, valid input that leads the fuzzer into one family of
// paths; the media targets are seeded from the test media tool instead.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using TPairs = std::vector<std::pair<std::string, std::string>>;

// Option lists: name, NUL, value, NUL, ...
const std::vector<TPairs>& OptionLists()
{
    static const std::vector<TPairs> lists = {
        {{"s", "640x480"}, {"croptop", "10"}, {"cropleft", "20"}, {"padbottom", "8"}, {"padcolor", "16777215"}},
        {{"r", "30000/1001"}, {"aspect", "16:9"}, {"pix_fmt", "yuv420p"}, {"qscale", "3.5"}},
        {{"map", "0.1:1.0"}, {"map", "0x1.2"}, {"map_meta_data", "0:1"}, {"itsscale", "1:0.5"}},
        {{"t", "00:01:02.5"}, {"ss", "12.25"}, {"itsoffset", "-1"}, {"timestamp", "2009-06-01 12:30:00"}},
        {{"metadata", "title=a=b"}, {"metadata", "author="}, {"vtag", "XVID"}, {"atag", "mp4a"}},
        {{"vcodec", "mpeg4"}, {"acodec", "copy"}, {"scodec", "mov_text"}, {"vn", "0"}, {"an", ""}},
        {{"b", "300"}, {"ab", "128000"}, {"g", "12"}, {"flags", "+qscale"}, {"debug", "1"}, {"sws_flags", "bicubic"}},
        {{"intra_matrix", "8,16,19,22,26,27,29,34,16,16,22,24,27,29,34,37,19,22,26,27,29,34,34,38,22,22,26,27,"
                          "29,34,37,40,22,26,27,29,32,35,40,48,26,27,29,32,35,40,48,58,26,27,29,34,38,46,56,69,"
                          "27,29,35,38,46,56,69,83"},
         {"inter_matrix", "1,2,3"}},
        {{"rc_override", "0,10,5/11,20,-50"}, {"pass", "1"}, {"passlogfile", "stats"}, {"vstats_file", "v.log"}},
        {{"vbsf", "h264_mp4toannexb"}, {"absf", "aac_adtstoasc=x"}, {"sbsf", "=oops"}},
        {{"target", "pal-dvd"}, {"target", "ntsc-vcd"}, {"f", "avi"}, {"f", "pgmyuv"}},
        {{"vfilters", "scale=32:24,hflip"}, {"vsync", "2"}, {"async", "1"}, {"adrift_threshold", "0.2"}},
        {{"pix_fmt", "list"}, {"sample_fmt", "list"}, {"sample_fmt", "s16"}, {"v", "0"}},
        {{"threads", "2"}, {"y", ""}, {"newvideo", ""}, {"programid", "1"}, {"fs", "1000000"}},
        {{"ar", "22050"}, {"ac", "1"}, {"vol", "512"}, {"alang", "eng"}, {"slang", "deu"}, {"top", "1"}},
    };
    return lists;
}

// Records: the ExtOptions text, NUL, the HookRanges text.
const std::vector<std::pair<std::string, std::string>>& RecordTexts()
{
    static const std::vector<std::pair<std::string, std::string>> texts = {
        {"vn=1\r\n", "10-20,5-8,30-25"},
        {"  g=12\r\nnewaudio\rb=300\n\nmetadata=x=y  ", " 0 - 1000 , -5, 7-"},
        {"s=320x240\ncroptop=10\npadleft=2\naspect=4:3", "abc-10,100-100"},
        {"newvideo\nnewsubtitle=\nvcodec=copy\nss=1.5\nt=3", "9223372036854775-9223372036854775807"},
        {"", "1-2,,3-4,"},
    };
    return texts;
}

// Settings files.
const std::vector<std::string>& SettingsTexts()
{
    static const std::vector<std::string> texts = {
        "[Format]\nCount=0\n[Output]\nFormat=0\n[SnapShot]\nFormat=1\nName=1\n",
        "[Format]\nCount=3\n\n[Format0]\nName=AVI\nExt=.avi\nCategory=1\nResolution=320*240,640*480\n"
        "ResolutionValue=1\nVolume=0x100\n",
        "\xEF\xBB\xBF[format]\r\ncount=$2\r\n[FORMAT1]\r\nname = \" padded \"\r\nVolume=-1\r\n"
        "; comment\r\n[Output]\r\nFolder='/tmp/out'\r\n",
        "[Format]\nCount=1\n[Format0]\nChannelValue=abc\nSampleRate=\n[SnapShot]\nFolder=/x/y\n[Output]\n"
        "Format=2147483647\nFolder=a=b",
        "[Format0]\nName=first\n[Format0]\nName=second\n[Format]\nCount=1",
    };
    return texts;
}

bool MakeFolder(const std::string& path)
{
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool WriteSeed(const std::string& path, const std::string& data)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    const std::string out = std::string(argv[1]) + "/";
    if (!MakeFolder(out)) return 1;
    bool ok = true;
    auto write = [&](const std::string& target, std::size_t index, const std::string& data) {
        ok = MakeFolder(out + target) && WriteSeed(out + target + "/seed" + std::to_string(index), data) && ok;
    };
    for (std::size_t i = 0; i < OptionLists().size(); ++i) {
        std::string data;
        for (const auto& [name, value] : OptionLists()[i]) {
            if (!data.empty()) data += '\0';
            data += name;
            data += '\0';
            data += value;
        }
        write("options", i, data);
    }
    for (std::size_t i = 0; i < RecordTexts().size(); ++i)
        write("records", i, RecordTexts()[i].first + std::string(1, '\0') + RecordTexts()[i].second);
    for (std::size_t i = 0; i < SettingsTexts().size(); ++i) write("settings", i, SettingsTexts()[i]);
    if (!ok) std::fprintf(stderr, "make_seeds: cannot write into %s\n", out.c_str());
    return ok ? 0 : 1;
}
