// One core application for a test binary that needs an event loop but no
// widgets (the link, the watch): made before the first test, gone after the
// last. Register it once per binary:
//   [[maybe_unused]] ::testing::Environment* const kCoreEnvironment =
//       ::testing::AddGlobalTestEnvironment(new pmvtest::TCoreEnvironment);
#pragma once

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <memory>

namespace pmvtest {

class TCoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_app = std::make_unique<QCoreApplication>(m_argc, m_argv); }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[9] = "pmv-test";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QCoreApplication> m_app;
};

} // namespace pmvtest
