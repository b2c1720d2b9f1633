#include "tests/support/CoreOptions.h"

namespace kv::test {

TOptionList AppliedOptions(const engine::TCustomFFmpeg& task)
{
    return task.AppliedOptions;
}

void SetTranscodeSteps(engine::TCustomFFmpeg& task, int steps)
{
    task.StubTranscodeSteps = steps;
}

}  // namespace kv::test
