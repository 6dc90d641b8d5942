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
        m_app = new THostApplication(m_argc, m_argv);
    }
    void TearDown() override {
        delete m_app;
        m_app = nullptr;
    }

private:
    int m_argc = 1;
    char m_name[9] = "test_app";
    char* m_argv[2] = {m_name, nullptr};
    THostApplication* m_app = nullptr;
};

[[maybe_unused]] ::testing::Environment* const AppEnvironment =
    ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

} // namespace
