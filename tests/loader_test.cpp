#include <gtest/gtest.h>
#include "media/FFmpegLoader.h"
#include "media/AVUtilStubs.h"
using namespace kv::media;
TEST(Loader, LoadsSystemLibraries) { ASSERT_TRUE(FFLoader.LoadLibs(EngineLibraries)) << FFLoader.LastErrMsg(); EXPECT_NE(av::av_log, nullptr); }
