// Session tests over installations and packages made by the real tools: the suite reads
// one fixture of scripts/standalone-fixture.sh (builds, steps, an installation, a
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
    // The suite's fixture: the one CTest made for all of the suite's processes, or one of
    // this process's own. The fixture is only read; each process writes below s_scratch.
    static void MakeFixture() {
        s_scratch =
            std::filesystem::temp_directory_path() /
            ("osmel-" OSMEL_FIXTURE_NAME "-" + std::to_string(Platform::GetCurrentProcessId()));
        std::filesystem::create_directories(s_scratch);
        if (const char* shared = std::getenv("OSMEL_SESSION_FIXTURE")) {
            s_fixture = shared;
            return;
        }
        s_fixture = s_scratch / "fixture";
        const std::string command = "bash " OSMEL_FIXTURE_SCRIPT " " OSMEL_BUILD_DIR " " +
                                    s_fixture.string() + " " OSMEL_FIXTURE_OPTIONS;
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(s_scratch); }

    void SetUp() override {
        m_dir = s_scratch / ::testing::UnitTest::GetInstance()->current_test_info()->name();
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
    static inline std::filesystem::path s_scratch;
    std::filesystem::path m_dir;
};

}  // namespace BexoPatch::testing
