// The process runner over real child processes, and the Windows command-line rules the
// POSIX backend splits arguments by.
#include "kernel/ChildProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/Process.h"

namespace {

const std::wstring kHelper = Platform::FromSystemPath(OSMEL_CHILD_HELPER);

struct Drained {
    std::string output;
    std::vector<std::size_t> chunkSizes;
};

// The callers' drain loop, chunk by chunk.
Drained Drain(ChildProcess* child) {
    Drained result;
    bool outputEnded = false;
    bool errorEnded = false;
    while (!outputEnded || !errorEnded) {
        std::string chunk;
        if (!outputEnded && !child->ReadStdout(chunk)) {
            outputEnded = true;
        }
        if (!chunk.empty()) {
            result.chunkSizes.push_back(chunk.size());
            result.output += chunk;
        }
        if (!errorEnded && !child->ReadStderr(chunk)) {
            errorEnded = true;
        }
    }
    return result;
}

// A child still running when the test program ends keeps its reaper, and the reaper's
// record, past the allocation tracker's report: every child is ended and waited for.
struct ChildDeleter {
    void operator()(ChildProcess* child) const {
        Platform::TerminateProcess(child->processHandle, 1);
        child->Wait(Platform::kInfinite);
        child->Close();
        delete child;
    }
};
using ChildPtr = std::unique_ptr<ChildProcess, ChildDeleter>;

ChildPtr Start(const std::string& arguments) {
    return ChildPtr(StartChildProcess(kHelper, arguments));
}

TEST(CommandLineTest, SplitsByTheWindowsRuntimeRules) {
    struct Case {
        std::wstring line;
        std::vector<std::wstring> arguments;
    };
    const Case cases[] = {
        {L"\"C:\\Program Files\\k.exe\" ", {L"C:\\Program Files\\k.exe"}},
        {L"\"C:\\dir\\\" a", {L"C:\\dir\\", L"a"}},
        {L"prog a\tb  c ", {L"prog", L"a", L"b", L"c"}},
        {L"p \"a b\" \"\" c", {L"p", L"a b", L"", L"c"}},
        {L"p a\\\\b \\\\\\\\\"c d\"", {L"p", L"a\\\\b", L"\\\\c d"}},
        {L"p \\\"a \\\\\\\"b", {L"p", L"\"a", L"\\\"b"}},
        {L"p \"a\"\"b\" \"say \"\"hi\"\"\"", {L"p", L"a\"b", L"say \"hi\""}},
        {L"p a\"b c\"d", {L"p", L"ab cd"}},
        {L"p \"unterminated arg", {L"p", L"unterminated arg"}},
        {L"", {L""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Platform::SplitWindowsCommandLine(c.line), c.arguments);
    }
}

TEST(CommandLineTest, QuotedArgumentsSplitBackAsTheyWere) {
    const std::vector<std::wstring> arguments = {L"C:\\Kelvor\\bin\\a.exe",
                                                 L"/home/Jos\u00e9/q\"<>|.txt",
                                                 L"a\\\"b",
                                                 L"dir\\",
                                                 L"two  spaces",
                                                 L""};
    std::wstring line = L"p";
    for (const std::wstring& argument : arguments) {
        line += L" " + QuoteArgument(argument);
    }
    std::vector<std::wstring> expected = {L"p"};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(Platform::SplitWindowsCommandLine(line), expected);
    EXPECT_EQ(QuoteArgument(L"C:\\Kelvor\\x y.pbk"), L"\"C:\\Kelvor\\x y.pbk\"");
}

TEST(ChildProcessTest, ArgumentsReachTheChildAsAWindowsChildWouldSeeThem) {
    ChildPtr child = Start("args \"list path\\with space.txt\" c:\\dir\\ \"q\\\"uote\" \"\"");
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(Drain(child.get()).output, "[list path\\with space.txt][c:\\dir\\][q\"uote][]");
    EXPECT_TRUE(child->Wait(Platform::kInfinite));
}

TEST(ChildProcessTest, AChildThatPrintsNothingEndsTheStreamAtOnce) {
    ChildPtr child = Start("silent");
    ASSERT_NE(child, nullptr);
    std::string text;
    EXPECT_FALSE(child->ReadStdout(text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(child->ReadStderr(text));
    EXPECT_TRUE(child->Wait(Platform::kInfinite));
}

TEST(ChildProcessTest, OutputAndErrorShareOnePipe) {
    ChildPtr child = Start("both");
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->stderrRead, nullptr);
    EXPECT_EQ(Drain(child.get()).output, "out err");
}

TEST(ChildProcessTest, AChunkIsCutAtItsFirstZeroByte) {
    ChildPtr child = Start("zeros");
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(Drain(child.get()).output, "ab");
}

TEST(ChildProcessTest, LongOutputArrivesWholeInChunksOfAtMost8KiB) {
    constexpr std::size_t kSize = 100000;
    ChildPtr child = Start("bytes " + std::to_string(kSize));
    ASSERT_NE(child, nullptr);
    const Drained drained = Drain(child.get());
    ASSERT_EQ(drained.output.size(), kSize);
    EXPECT_EQ(drained.output[kSize - 1], static_cast<char>('a' + (kSize - 1) % 26));
    for (std::size_t size : drained.chunkSizes) {
        EXPECT_LE(size, ChildProcess::kChunkSize);
    }
}

TEST(ChildProcessTest, TheDrainLoopWaitsForAGrandchildHoldingThePipe) {
    ChildPtr child = Start("grandchild");
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(Drain(child.get()).output, "early late");
}

TEST(ChildProcessTest, ExitCodesAndTermination) {
    ChildPtr exits = Start("exit 7");
    ASSERT_NE(exits, nullptr);
    Drain(exits.get());
    ASSERT_TRUE(exits->Wait(Platform::kInfinite));
    Platform::DWORD code = 0;
    ASSERT_TRUE(Platform::GetExitCodeProcess(exits->processHandle, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(Platform::TerminateProcess(exits->processHandle, 1));

    ChildPtr hangs = Start("hang");
    ASSERT_NE(hangs, nullptr);
    std::string text;
    ASSERT_TRUE(hangs->ReadStdout(text));
    EXPECT_EQ(text, "waiting");
    EXPECT_FALSE(hangs->Wait(0));
    ASSERT_TRUE(Platform::GetExitCodeProcess(hangs->processHandle, &code));
    EXPECT_EQ(code, Platform::kStillActive);
    EXPECT_TRUE(Platform::TerminateProcess(hangs->processHandle, 1));
    EXPECT_EQ(Drain(hangs.get()).output, "");
    ASSERT_TRUE(hangs->Wait(Platform::kInfinite));
    ASSERT_TRUE(Platform::GetExitCodeProcess(hangs->processHandle, &code));
    EXPECT_EQ(code, 1u);
}

TEST(ChildProcessTest, ProgramsThatCannotRunGiveNull) {
    EXPECT_EQ(StartChildProcess(L"\\nonexistent\\bin\\KelvorUtil.exe", "listbuilds"), nullptr);
    EXPECT_EQ(StartChildProcess(L"\\tmp", ""), nullptr);
    // One character more than the command line can hold.
    const std::string arguments(4095 - kHelper.size() - 3 + 1, 'x');
    EXPECT_EQ(StartChildProcess(kHelper, arguments), nullptr);
    ChildPtr fits(StartChildProcess(kHelper, arguments.substr(1)));
    EXPECT_NE(fits, nullptr);
}

TEST(ChildProcessTest, ARelativeProgramIsFoundFromTheParentsDirectory) {
    const std::filesystem::path helper(OSMEL_CHILD_HELPER);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(helper.parent_path().parent_path());
    Platform::Handle readEnd = nullptr;
    Platform::Handle writeEnd = nullptr;
    ASSERT_TRUE(Platform::CreatePipe(&readEnd, &writeEnd));
    Platform::ProcessStartup startup;
    startup.stdOutput = writeEnd;
    startup.currentDirectory = L"\\";
    Platform::ProcessInformation information;
    const std::wstring relative =
        Platform::FromSystemPath((helper.parent_path().filename() / helper.filename()).string());
    const bool started =
        Platform::CreateProcess(L"\"" + relative + L"\" cwd", startup, &information);
    std::filesystem::current_path(previous);
    Platform::CloseHandle(writeEnd);
    ASSERT_TRUE(started);
    char buffer[64] = {};
    Platform::DWORD bytesRead = 0;
    EXPECT_TRUE(Platform::ReadFile(readEnd, buffer, sizeof buffer - 1, &bytesRead));
    // The root of the current drive on Windows.
    EXPECT_TRUE(std::filesystem::equivalent(buffer, Platform::ToSystemPath(L"\\"))) << buffer;
    EXPECT_EQ(Platform::WaitForSingleObject(information.process, Platform::kInfinite),
              Platform::kWaitObject0);
    for (Platform::Handle h : {readEnd, information.process, information.thread}) {
        Platform::CloseHandle(h);
    }
}

}  // namespace
