#pragma once
// Runs a program of ours (or a tool) the way a user's shell would, for the tests of
// what installed copies and the command line do.
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kv::test {

struct TProgramRun {
    int Status = -1;  // the exit status; -1 when it could not run or died of a signal
    std::string Out;  // standard output
    std::string Err;  // standard error
};

using TEnvironment = std::vector<std::pair<std::string, std::string>>;

// Runs `program` with `args` in `folder` (the test's own when empty), its environment
// the test's with `env` set on top, and waits for its end; `whileRunning`, when given,
// is called with the program's process id once it has started (to send it a signal).
TProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                       const std::string& folder = {}, const TEnvironment& env = {},
                       const std::function<void(int)>& whileRunning = {});

}  // namespace kv::test
