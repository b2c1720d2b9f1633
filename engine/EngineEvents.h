#pragma once
// Event types shared by the transcoder core and the engine component.
#include <cstdint>
#include <string>

#include "media/Bitmap.h"

namespace kv::engine {

enum TLogLevel { llQuiet = 0, llError, llInfo, llDebug, llAll };
enum THookAction { haContinue = 0, haIgnore, haStop };

// The engine's one log-level scale is TLogLevel. The numbers of the "v" option keep
// their meaning (-1 quiet, 0 error, 1 info, 2 debug, 3 and more all): this reads one.
constexpr TLogLevel LogLevelFromNumber(int level)
{
    return level < 0 ? llQuiet : level >= 4 ? llAll : static_cast<TLogLevel>(level + 1);
}

class TCustomFFmpeg;

// Where a task sends its events: the engine component implements it, and a task
// holds one pointer per event (null when that handler is not set).
class TTaskEventSink {
public:
    virtual ~TTaskEventSink() = default;
    virtual void DoBeforeHook(TCustomFFmpeg* task, std::int64_t pts, THookAction& action) = 0;
    virtual void DoCustomHook(TCustomFFmpeg* task, media::TBitmap& bitmap, int frameNumber, std::int64_t pts,
                              bool& update, bool& stopHook) = 0;
    virtual void DoLog(TCustomFFmpeg* task, TLogLevel level, const std::string& message) = 0;
    virtual void DoPreviewBitmap(TCustomFFmpeg* task, media::TBitmap& bitmap, int frameNumber,
                                 std::int64_t pts) = 0;
    virtual void DoProgress(TCustomFFmpeg* task, int frameNumber, int fps, int currentDuration, float quality,
                            float bitRate, std::int64_t currentSize, int totalOutputDuration) = 0;
    virtual void DoTerminate(TCustomFFmpeg* task) = 0;
};

}  // namespace kv::engine
