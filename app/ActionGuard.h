#pragma once
// The application-wide rule for errors: one that escapes a user's action ends that
// action without a message box and is written to standard error for diagnosis.
#include <exception>
#include <utility>

namespace kv::app {

// Writes "kestravo: <action>: <reason>" to standard error.
void ReportEscapedError(const char* action, const char* reason);

template <class TAction>
void RunAction(const char* name, TAction&& action) noexcept
{
    try {
        std::forward<TAction>(action)();
    } catch (const std::exception& e) {
        ReportEscapedError(name, e.what());
    } catch (...) {
        ReportEscapedError(name, "unknown error");
    }
}

}  // namespace kv::app
