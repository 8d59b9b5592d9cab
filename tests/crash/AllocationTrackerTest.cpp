// The allocation tracker's report, from a program that has it linked in.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>

#include "kernel/ChildProcess.h"
#include "platform/Files.h"

namespace {

std::string RunHelper(const std::string& mode) {
    std::unique_ptr<ChildProcess> child(
        StartChildProcess(Platform::FromSystemPath(OSMEL_TRACKER_HELPER), mode));
    if (!child) {
        return "(not started)";
    }
    std::string output;
    while (child->ReadStdout(output)) {
    }
    child->Wait(Platform::kInfinite);
    return output;
}

// The line of the helper's source that carries the marker comment.
int MarkedLine(const std::string& marker) {
    std::ifstream source(OSMEL_TRACKER_HELPER_SOURCE);
    std::string line;
    for (int number = 1; std::getline(source, line); ++number) {
        if (line.find(marker) != std::string::npos) {
            return number;
        }
    }
    return -1;
}

const std::string kOpen = "\n\n>>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>\n\n";
const std::string kClose = "\n\n<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<\n\n";

// What a shared library keeps is not the program's leak.
TEST(AllocationTrackerTest, AProgramWithoutLeaksReportsNone) {
    for (const char* mode : {"none", "library"}) {
        EXPECT_EQ(RunHelper(mode), kOpen + "\n\nA total of 0 leaks at 0 locations.\n" + kClose)
            << mode;
    }
}

TEST(AllocationTrackerTest, LeaksAreGroupedBySiteAndThread) {
    struct Case {
        std::string mode;
        std::string pattern;
    };
    // The site is the line of Leak's operator new call; "Called from" lines follow.
    const std::string site =
        R"(\S*TrackerHelper\.cpp\()" + std::to_string(MarkedLine("// the leak site")) + R"(\): )";
    const std::string calledFrom = R"((\S*\(\d+\): Called from\.\n)+\n)";
    const Case cases[] = {
        {"one", site + R"(1 memory block of size 24 was never freed \(thread id \d+\)\.\n)" +
                    calledFrom + R"(\n\nA total of 1 leaks at 1 locations\.\n)"},
        {"two", site + R"(2 memory blocks of size 24 were never freed \(thread id \d+\)\.\n)" +
                    calledFrom + R"(\n\nA total of 2 leaks at 1 locations\.\n)"},
        {"threads", "(" + site +
                        R"(1 memory block of size 24 was never freed \(thread id \d+\)\.\n)" +
                        calledFrom + R"(){2}\n\nA total of 2 leaks at 2 locations\.\n)"},
    };
    for (const Case& c : cases) {
        const std::string output = RunHelper(c.mode);
        ASSERT_EQ(output.rfind(kOpen, 0), 0u) << output;
        ASSERT_GE(output.size(), kOpen.size() + kClose.size());
        const std::string body =
            output.substr(kOpen.size(), output.size() - kOpen.size() - kClose.size());
        EXPECT_TRUE(std::regex_match(body, std::regex(c.pattern))) << c.mode << ":\n" << output;
        EXPECT_EQ(output.substr(output.size() - kClose.size()), kClose);
    }
}

TEST(AllocationTrackerTest, ReleasingAnUntrackedBlockIsReportedAndDone) {
    const std::string output = RunHelper("unknown");
    EXPECT_TRUE(std::regex_search(
        output, std::regex(R"(^\S*TrackerHelper\.cpp\()" +
                           std::to_string(MarkedLine("// the release site")) +
                           R"(\): unknown memory block starting at 0x[0-9a-f]+ freed\.\n)")))
        << output;
    EXPECT_NE(output.find("A total of 0 leaks at 0 locations."), std::string::npos);
}

}  // namespace
