// Session tests over installations and packages made by the real tools: the suite makes
// one fixture with scripts/standalone-fixture.sh (builds, steps, an installation, a
// standalone patcher); every test gets its own directory, temporary directory and
// registry store, and the process-wide settings and seams fresh.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "SessionTestSupport.h"
#include "kernel/PatchSettings.h"
#include "platform/System.h"
#include "session/SessionServices.h"

namespace BexoPatch::testing {

class FixtureTest : public ::testing::Test {
protected:
    // Makes the suite's fixture; `options` go to osmel-mkbuilds chain.
    static void MakeFixture(const std::string& name, const std::string& options) {
        s_fixture = std::filesystem::temp_directory_path() /
                    ("osmel-" + name + "-" + std::to_string(Platform::GetCurrentProcessId()));
        const std::string command = "bash " OSMEL_FIXTURE_SCRIPT " " OSMEL_BUILD_DIR " " +
                                    s_fixture.string() + " " + options;
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(s_fixture); }

    void SetUp() override {
        m_dir = s_fixture / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::create_directories(m_dir / "temp");
        ::setenv("TEMP", (m_dir / "temp").c_str(), 1);
        ::setenv("OSMEL_REGISTRY", (m_dir / "registry.reg").c_str(), 1);
        ResetSessionServices();
        PatchSettings::Instance().Reset();
    }
    void TearDown() override {
        ResetSessionServices();
        PatchSettings::Instance().Reset();
        ::unsetenv("TEMP");
        ::unsetenv("OSMEL_REGISTRY");
        std::filesystem::remove_all(m_dir);
    }

    static std::map<std::string, std::string> Build(const std::string& build) {
        return InstallationTree(s_fixture / "builds" / build);
    }

    static inline std::filesystem::path s_fixture;
    std::filesystem::path m_dir;
};

}  // namespace BexoPatch::testing
