#pragma once
// The event loop's application object for tests of the engine and the workflow,
// created on first use on the test's main thread (the engine's UI thread).
#include <QCoreApplication>

namespace kvtest {

inline QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "kestravo-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

}  // namespace kvtest
