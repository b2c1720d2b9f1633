#pragma once
// A widget application on the test's main thread, for tests of windows: register it
// with ::testing::AddGlobalTestEnvironment(new WidgetApplicationEnvironment).
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace kvtest {

class WidgetApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[16] = "kestravo-test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

}  // namespace kvtest
