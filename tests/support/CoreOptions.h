#pragma once
// What a task received through SetOption, in order. The one place tests read it.
#include <string>
#include <utility>
#include <vector>

#include "engine/FFmpeg.h"

namespace kv::test {

using TOptionList = std::vector<std::pair<std::string, std::string>>;

TOptionList AppliedOptions(const engine::TCustomFFmpeg& task);
void SetTranscodeSteps(engine::TCustomFFmpeg& task, int steps);

}  // namespace kv::test
