// Inputs the fuzz targets (fuzz/) found, each of which once crashed, hung or upset a
// sanitizer, run the way their target runs them. The media inputs are tiny files
// kept in tests/fixtures/fuzz/.
#include <gtest/gtest.h>

#include <string>

#include "engine/FFmpeg.h"
#include "media/AVProbe.h"
#include "tests/support/VideoConvert.h"

using namespace kv::engine;
using namespace kv::test;

namespace {

std::string Found(const std::string& name)
{
    return std::string(KV_TEST_FIXTURE_DIR) + "/fuzz/" + name;
}

// The small output of the conversion target.
const TOptionList SmallOutput = {{"s", "64x48"}, {"vcodec", "mpeg4"}, {"vb", "64000"}, {"acodec", "mp2"},
                                 {"ar", "22050"}, {"ac", "1"}, {"ab", "32000"}, {"sn", "1"}};

struct TMediaCase {
    const char* File;
    const char* What;      // what went wrong
    bool Finishes;         // false: refused or failed with Message
    const char* Message;
};

class FoundMediaTest : public TOutputFolderTest {};

TEST_F(FoundMediaTest, ConversionsEndWithSuccessOrAReason)
{
    const TMediaCase cases[] = {
        {"unknown_pixel_format.avi", "a video stream whose pixel format the analysis cannot tell: the scaler "
                                     "library aborted the process",
         true, ""},
    };
    for (const TMediaCase& c : cases) {
        SCOPED_TRACE(std::string(c.File) + ": " + c.What);
        const std::string output = Out("out.avi");
        const TConvertResult r = Convert(sink, Found(c.File), {}, output, SmallOutput);
        EXPECT_EQ(r.Finished, c.Finishes) << r.Message;
        EXPECT_EQ(r.Message, c.Message);
        if (r.Finished) {
            kv::media::TAVProbe probe;
            EXPECT_TRUE(probe.OpenFile(output)) << probe.LastError();
        }
    }
}

}  // namespace
