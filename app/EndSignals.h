#pragma once
// The requests to end that come as signals (SIGTERM at logout or from kill, SIGHUP
// when the terminal goes, SIGINT from Ctrl+C), turned into a call on the
// user-interface thread: nothing but a write happens in the handler itself.
#include <QObject>

#include <functional>

class QSocketNotifier;

namespace kv::app {

class TEndSignals : public QObject {
public:
    // `onEnd` runs on the thread that made the object, once per signal received.
    explicit TEndSignals(std::function<void()> onEnd, QObject* parent = nullptr);
    // Puts the default handlers back.
    ~TEndSignals() override;
    TEndSignals(const TEndSignals&) = delete;
    TEndSignals& operator=(const TEndSignals&) = delete;

private:
    std::function<void()> FOnEnd;
    QSocketNotifier* FNotifier = nullptr;
};

}  // namespace kv::app
