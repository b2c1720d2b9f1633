// The shipped catalogue: every profile is well formed, names no maker's product, and
// every choice it offers opens its encoder in the installed libraries and fits its container.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "tests/support/VideoConvert.h"
#include "workflow/EntryForms.h"
#include "workflow/IniFile.h"
#include "workflow/IniOptions.h"

using namespace kv::workflow;

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The job builder's display-name tables, with the encoders of the old generation
// replaced by those that stand for them in the installed libraries.
const std::map<std::string, std::string> AudioNames = {
    {"amr_nb", "libamr_nb"}, {"aac", "aac" /* was libfaac */}, {"wav", "pcm_s16le"},
    {"mp3 audio", "libmp3lame"}, {"ac-3 audio", "ac3"}, {"mpeg-2 audio", "mp2"}, {"ogg", "vorbis"}};
const std::map<std::string, std::string> VideoNames = {
    {"h.263 video", "h263"}, {"h.264", "libx264"}, {"xvid", "libxvid"},
    {"mpeg-1 video", "mpeg1video"}, {"mpeg-2 video", "mpeg2video"}, {"flv video", "flv"}};

std::string EncoderName(const std::map<std::string, std::string>& table, const std::string& entry)
{
    if (const auto choice = ReadEncoderEntry(entry)) return choice->Codec;
    const std::string key = Lower(entry);
    const auto it = table.find(key);
    return it == table.end() ? key : it->second;
}

std::vector<std::string> Entries(const std::string& list)
{
    std::vector<std::string> v;
    TIniOptions::SplitList(list, v);
    return v;
}

// The number before `suffix`, or -1 when the entry is not of that form.
int Number(const std::string& entry, const std::string& suffix);

// A rate entry's bit rate for opening the encoder: constant quality and target sizes
// stand in with a middling rate.
int RateForOpening(const std::string& entry, int middling)
{
    if (ReadRateEntry(entry)) return middling;
    return Number(entry, " kbps") * 1000;
}

int Number(const std::string& entry, const std::string& suffix)
{
    const std::string n = TextBefore(entry, suffix);
    if (n == entry || n.empty() || n.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoi(n);
}

std::string ErrorText(int err)
{
    char buf[256] = {};
    av::av_strerror(err, buf, sizeof buf);
    return buf;
}

struct TVideoSetting { int Width, Height; AVRational Rate; int Bitrate; };
struct TAudioSetting { int SampleRate, Channels, Bitrate; };

int OpenVideo(const AVCodec* codec, const TVideoSetting& s)
{
    AVCodecContext* c = av::avcodec_alloc_context3(codec);
    c->width = s.Width;
    c->height = s.Height;
    c->time_base = av_inv_q(s.Rate);
    c->framerate = s.Rate;
    c->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    c->bit_rate = s.Bitrate;
    c->thread_count = 1;
    const int err = av::avcodec_open2(c, codec, nullptr);
    av::avcodec_free_context(&c);
    return err;
}

int OpenAudio(const AVCodec* codec, const TAudioSetting& s)
{
    AVCodecContext* c = av::avcodec_alloc_context3(codec);
    c->sample_rate = s.SampleRate;
    av::av_channel_layout_default(&c->ch_layout, s.Channels);
    c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    c->bit_rate = s.Bitrate;
    c->time_base = AVRational{1, s.SampleRate};
    const int err = av::avcodec_open2(c, codec, nullptr);
    av::avcodec_free_context(&c);
    return err;
}

class Catalogue : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        kv::test::LoadEngineLibraries();
    }
    void SetUp() override { Options.LoadFromFile(Path); }
    const std::string Path = std::string(KV_STAGE_DIR) + "/kestravo.ini";
    TIniOptions Options;
};

}  // namespace

TEST_F(Catalogue, ProfilesAreWellFormed)
{
    const TIniFile ini(Path);
    ASSERT_GE(Options.FormatCount, 20);
    EXPECT_GE(Options.OutputFormat, 0);
    EXPECT_LT(Options.OutputFormat, Options.FormatCount);
    const char* const makers[] = {"ipod", "iphone", "ipad", "apple", "zune", "microsoft", "windows", "psp",
                                  "playstation", "sony", "xbox", "nokia", "samsung", "motorola", "blackberry",
                                  "android", "dolby", "creative", "archos", "sandisk", "walkman", "nintendo",
                                  "kindle", "flip", "divx", "quicktime", "real"};
    std::vector<std::string> names;
    for (int i = 0; i < Options.FormatCount; ++i) {
        const TFormatRec& f = Options.Formats[static_cast<std::size_t>(i)];
        SCOPED_TRACE(f.Name);
        const std::string section = "Format" + std::to_string(i);
        // Every key of a shipped profile is spelled out: no profile lives on defaults.
        for (const char* key : {"Name", "Ext", "Category", "SampleRate", "SampleRateValue", "AudioBitrate",
                                "AudioBitrateValue", "AudioEncoder", "AudioEncoderValue", "Channel", "ChannelValue",
                                "Volume"})
            EXPECT_TRUE(ini.ValueExists(section, key)) << key;
        EXPECT_TRUE(f.Category == 0 || f.Category == 1);
        EXPECT_EQ(f.Volume, 256);
        EXPECT_EQ(std::count(names.begin(), names.end(), f.Name), 0) << "name twice";
        names.push_back(f.Name);
        for (const char* m : makers) EXPECT_EQ(Lower(f.Name).find(m), std::string::npos) << m;
        ASSERT_EQ(f.Ext.front(), '.');
        EXPECT_NE(av::av_guess_format(nullptr, ("x" + f.Ext).c_str(), nullptr), nullptr) << f.Ext;

        const struct { const std::string& List; int Index; const char* Suffix; } lists[] = {
            {f.SampleRate, f.SampleRateValue, " Hz"}, {f.AudioBitrate, f.AudioBitrateValue, " kbps"},
            {f.AudioEncoder, f.AudioEncoderValue, nullptr}, {f.Channel, f.ChannelValue, nullptr},
            {f.Resolution, f.ResolutionValue, nullptr}, {f.Framerate, f.FramerateValue, nullptr},
            {f.VideoEncoder, f.VideoEncoderValue, nullptr}, {f.VideoBitRate, f.VideoBitRateValue, " kbps"},
        };
        for (const auto& l : lists) {
            if (f.Category == 0 && &l.List == &f.Resolution) break;  // video lists follow
            const auto entries = Entries(l.List);
            EXPECT_GE(l.Index, 0) << l.List;
            EXPECT_LT(l.Index, static_cast<int>(entries.size())) << l.List;
            for (const std::string& e : entries) {
                const bool rate = std::string(l.Suffix ? l.Suffix : "") == " kbps";
                if (rate && ReadRateEntry(e)) continue;
                if (l.Suffix) { EXPECT_GT(Number(e, l.Suffix), 0) << e; }
            }
            // "Smart copy" converts what the container cannot take: its list names an encoder.
            if (&l.List == &f.VideoEncoder || &l.List == &f.AudioEncoder) {
                const bool smart = std::any_of(entries.begin(), entries.end(), [](const std::string& e) {
                    const auto c = ReadEncoderEntry(e);
                    return c && c->Smart;
                });
                const bool converts = std::any_of(entries.begin(), entries.end(), [](const std::string& e) {
                    const auto c = ReadEncoderEntry(e);
                    return !c || c->Codec != "copy";
                });
                if (smart) {
                    EXPECT_TRUE(converts) << l.List;
                }
            }
        }
        for (const std::string& e : Entries(f.Channel)) EXPECT_TRUE(e[0] == '1' || e[0] == '2') << e;
    }
}

TEST_F(Catalogue, EveryAudioChoiceOpensItsEncoder)
{
    for (const TFormatRec& f : Options.Formats) {
        SCOPED_TRACE(f.Name);
        const AVOutputFormat* muxer = av::av_guess_format(nullptr, ("x" + f.Ext).c_str(), nullptr);
        ASSERT_NE(muxer, nullptr);
        for (const std::string& entry : Entries(f.AudioEncoder)) {
            const std::string name = EncoderName(AudioNames, entry);
            if (name == "copy") continue;
            const AVCodec* codec = av::avcodec_find_encoder_by_name(name.c_str());
            ASSERT_NE(codec, nullptr) << entry << " -> " << name;
            EXPECT_NE(av::avformat_query_codec(muxer, codec->id, FF_COMPLIANCE_NORMAL), 0)
                << name << " in " << muxer->name;
            // An encoder's bit-rate limits are a floor and a ceiling that depend on the rate
            // and the channels, so the lowest and the highest bit rate stand for the rest.
            const auto all = Entries(f.AudioBitrate);
            const std::vector<std::string> bitrates{all.front(), all.back()};
            for (const std::string& rate : Entries(f.SampleRate))
                for (const std::string& channels : Entries(f.Channel))
                    for (const std::string& bitrate : bitrates) {
                        const TAudioSetting s{Number(rate, " Hz"), channels[0] - '0', RateForOpening(bitrate, 128000)};
                        const int err = OpenAudio(codec, s);
                        EXPECT_GE(err, 0) << name << " " << rate << " " << channels << " " << bitrate << ": "
                                          << ErrorText(err);
                    }
        }
    }
}

TEST_F(Catalogue, EveryVideoChoiceOpensItsEncoder)
{
    std::set<std::string> tried;
    for (const TFormatRec& f : Options.Formats) {
        if (f.Category != 1) continue;
        SCOPED_TRACE(f.Name);
        const AVOutputFormat* muxer = av::av_guess_format(nullptr, ("x" + f.Ext).c_str(), nullptr);
        ASSERT_NE(muxer, nullptr);
        const auto sizes = Entries(f.Resolution), rates = Entries(f.Framerate), bitrates = Entries(f.VideoBitRate);
        std::vector<AVRational> rateValues;
        for (const std::string& r : rates) {
            if (Lower(r) == "keep original frame rate") {
                // The source's own rate remains; try the common ones.
                rateValues.push_back({25, 1});
                rateValues.push_back({30000, 1001});
                continue;
            }
            AVRational q{0, 1};
            EXPECT_GE(Number(r, " fps"), 1) << r;
            EXPECT_GE(av::av_parse_video_rate(&q, Lower(TextBefore(r, " fps")).c_str()), 0) << r;
            rateValues.push_back(q);
        }
        const int selectedBitrate = RateForOpening(bitrates.at(static_cast<std::size_t>(f.VideoBitRateValue)), 2000000);
        for (const std::string& entry : Entries(f.VideoEncoder)) {
            const std::string name = EncoderName(VideoNames, entry);
            if (name == "copy") continue;
            const AVCodec* codec = av::avcodec_find_encoder_by_name(name.c_str());
            ASSERT_NE(codec, nullptr) << entry << " -> " << name;
            EXPECT_NE(av::avformat_query_codec(muxer, codec->id, FF_COMPLIANCE_NORMAL), 0)
                << name << " in " << muxer->name;
            // The AV1 library never returns from closing an encoder that was given no
            // picture; its choices are opened and used by the conversions of every AV1 profile.
            if (name == "libsvtav1") continue;
            // Each size, each rate and each bit rate once; the encoders' limits on them are
            // independent of one another.
            std::vector<TVideoSetting> settings;
            for (const std::string& size : sizes) {
                // A size that follows the source: its results are the source's, at most the box.
                const auto form = ReadSizeEntry(size);
                ASSERT_TRUE(form) << size;
                if (form->Form != TSizeForm::sfFixed) {
                    settings.push_back({1280, 720, rateValues.front(), selectedBitrate});
                    continue;
                }
                int w = 0, h = 0;
                ASSERT_EQ(std::sscanf(size.c_str(), "%d*%d", &w, &h), 2) << size;
                ASSERT_EQ(size, std::to_string(w) + "*" + std::to_string(h));
                settings.push_back({w, h, rateValues.front(), selectedBitrate});
            }
            for (const AVRational& q : rateValues) {
                TVideoSetting s = settings.front();
                s.Rate = q;
                settings.push_back(s);
            }
            for (const std::string& b : bitrates) {
                TVideoSetting s = settings.front();
                s.Bitrate = RateForOpening(b, 2000000);
                settings.push_back(s);
            }
            for (const TVideoSetting& s : settings) {
                // Entries naming one encoder (its depths, its levels) in profiles of the same
                // lists ask the same of it: each setting is tried once per encoder.
                const std::string key = name + " " + std::to_string(s.Width) + "*" + std::to_string(s.Height) + " " +
                                        std::to_string(s.Rate.num) + "/" + std::to_string(s.Rate.den) + " " +
                                        std::to_string(s.Bitrate);
                if (!tried.insert(key).second) continue;
                const int err = OpenVideo(codec, s);
                EXPECT_GE(err, 0) << name << " " << s.Width << "*" << s.Height << " " << s.Rate.num << "/"
                                  << s.Rate.den << " " << s.Bitrate << ": " << ErrorText(err);
            }
        }
    }
}
