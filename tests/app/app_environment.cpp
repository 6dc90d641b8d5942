// One THostApplication for the whole test binary, on the offscreen platform
// unless the caller chose another.
#include "app/HostApplication.h"

#include <gtest/gtest.h>

namespace {

class TAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        FApp = new THostApplication(FArgc, FArgv);
    }
    void TearDown() override {
        delete FApp;
        FApp = nullptr;
    }

private:
    int FArgc = 1;
    char FName[9] = "test_app";
    char* FArgv[2] = {FName, nullptr};
    THostApplication* FApp = nullptr;
};

[[maybe_unused]] ::testing::Environment* const AppEnvironment =
    ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

} // namespace
