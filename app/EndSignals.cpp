#include "app/EndSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kv::app {

namespace {

const int EndSignalNumbers[] = {SIGTERM, SIGHUP, SIGINT};
// Written by the handler, read on the user-interface thread.
int SignalPipe[2] = {-1, -1};

extern "C" void OnEndSignal(int)
{
    const char byte = 1;
    // Nothing to do when it fails: a byte already waiting says the same.
    [[maybe_unused]] const ssize_t written = ::write(SignalPipe[1], &byte, 1);
}

}  // namespace

TEndSignals::TEndSignals(std::function<void()> onEnd, QObject* parent) : QObject(parent), FOnEnd(std::move(onEnd))
{
    if (SignalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, SignalPipe) != 0)
        return;
    FNotifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(SignalPipe[0], bytes, sizeof bytes) > 0) {
        }
        if (FOnEnd) FOnEnd();
    });
    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : EndSignalNumbers) ::sigaction(number, &action, nullptr);
}

TEndSignals::~TEndSignals()
{
    for (int number : EndSignalNumbers) std::signal(number, SIG_DFL);
}

}  // namespace kv::app
