#include "tests/support/RunProgram.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

extern char** environ;

namespace kv::test {

namespace {

// A temporary file for one output stream, removed once read.
struct TCapture {
    std::string Path;
    int Fd = -1;
    TCapture()
    {
        char name[] = "/tmp/kv_capture_XXXXXX";
        Fd = ::mkstemp(name);
        Path = name;
    }
    std::string Read()
    {
        if (Fd >= 0) ::close(Fd);
        Fd = -1;
        std::ifstream in(Path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ::unlink(Path.c_str());
        return text;
    }
};

}  // namespace

TProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                       const std::string& folder, const TEnvironment& env,
                       const std::function<void(int)>& whileRunning)
{
    // Everything the child needs is built before the fork: after it, only plain
    // system calls are safe in a process that has threads.
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::size_t eq = entry.find('=');
        if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : env) vars[name] = value;
    std::vector<std::string> envText;
    for (const auto& [name, value] : vars) envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText{program};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argText) argv.push_back(a.data());
    argv.push_back(nullptr);

    TCapture out, err;
    TProgramRun run;
    if (out.Fd < 0 || err.Fd < 0) return run;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int nul = ::open("/dev/null", O_RDONLY);
        if (nul < 0 || ::dup2(nul, 0) < 0 || ::dup2(out.Fd, 1) < 0 || ::dup2(err.Fd, 2) < 0) ::_exit(127);
        if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(127);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    pid_t waited = -1;
    if (pid > 0 && whileRunning) whileRunning(pid);
    if (pid > 0) {
        do waited = ::waitpid(pid, &status, 0);
        while (waited < 0 && errno == EINTR);
    }
    if (waited == pid && WIFEXITED(status)) run.Status = WEXITSTATUS(status);
    run.Out = out.Read();
    run.Err = err.Read();
    return run;
}

}  // namespace kv::test
