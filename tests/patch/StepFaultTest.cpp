// A failing disk under a real patch step: every file call the step makes is failed in turn
// (ENOSPC or EIO, through the platform layer's test seam), and after each run the next
// start's recovery runs. Whatever failed, the installation must end byte for byte as the
// old build or the new one, the uninstaller log with it, nothing of the engine's left
// behind, and the engine's answer must say which. Then the same with the failure inside
// the recovery of a step cut off at every point.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <system_error>
#include <vector>

#include "TestFiles.h"
#include "TestProcess.h"
#include "UninstallLogs.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchEngine.h"
#include "patch/StepJournal.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace fs = std::filesystem;
using BexoPatch::testing::Binary;
using BexoPatch::testing::MinimalUninstallLog;
using BexoPatch::testing::ReadFile;
using BexoPatch::testing::RunProcess;
using BexoPatch::testing::WriteFile;

namespace {

// The difference tool, a link in every installation: copied thousands of times, the
// real file would cost most of the test's time.
const char kTool[] = "bin/kpatchl-w32.exe";

// Every file and directory below root, relative with "/"; directories as "<dir>".
using Tree = std::map<std::string, std::string>;

Tree Snapshot(const fs::path& root) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string rel = entry.path().lexically_relative(root).generic_string();
        tree[rel] = rel == kTool           ? "<tool>"
                    : entry.is_directory() ? "<dir>"
                                           : ReadFile(entry.path());
    }
    return tree;
}

// The window log of the current run, shown when a run fails.
std::string g_log;

void CaptureLine(std::int32_t /*level*/, const std::wstring& text) {
    g_log += WideToUtf8(text) + "\n";
}

const char* BuildName(StepRecovery r) {
    switch (r) {
        case StepRecovery::kNone:
            return "none";
        case StepRecovery::kUndone:
            return "undone";
        case StepRecovery::kCompleted:
            return "completed";
        case StepRecovery::kUnreadable:
            return "unreadable";
        case StepRecovery::kFailed:
            return "failed";
    }
    return "?";
}

class StepFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-faults-" + std::to_string(Platform::GetCurrentProcessId()));
        fs::remove_all(m_dir);
        SetPatchCallbacks(nullptr, nullptr, CaptureLine);
        // Three patched files, two added (one in a new folder), two deleted, one kept.
        for (int i = 1; i <= 3; ++i) {
            const std::string name = "bin/module" + std::to_string(i) + ".dll";
            WriteFile(m_dir / "old" / name, Binary(30000 + i, i));
            WriteFile(m_dir / "new" / name, Binary(30000 + i, i + 4) + "v2");
        }
        WriteFile(m_dir / "old/data/same.txt", "unchanged");
        WriteFile(m_dir / "new/data/same.txt", "unchanged");
        WriteFile(m_dir / "old/data/gone.txt", "deleted by the step");
        WriteFile(m_dir / "old/data/gone2.txt", "deleted too");
        WriteFile(m_dir / "new/data/maps/deep/new.map", "added in new folders");
        WriteFile(m_dir / "new/readme.txt", "added at the root");
        ASSERT_EQ(RunProcess(L"\"" + Utf8ToWide(OSMEL_MKPATCH) + L"\" diff --level 3 \"" +
                             (m_dir / "old").wstring() + L"\" \"" + (m_dir / "new").wstring() +
                             L"\" -o \"" + (m_dir / "patch").wstring() + L"\""),
                  0);
        fs::copy(m_dir / "old", m_dir / "pristine", fs::copy_options::recursive);
        fs::create_symlink(fs::absolute(OSMEL_KPATCHL), m_dir / "pristine" / kTool);
        WriteFile(m_dir / "pristine/unins000.dat", MinimalUninstallLog(300));
        m_old = Snapshot(m_dir / "pristine");
        // A backup left by an older run, identical to its file: it must never be taken for
        // the step's own. The step removes it before it starts; the old build is either.
        WriteFile(m_dir / "pristine/bin/module2.dll.pbk", ReadFile(m_dir / "old/bin/module2.dll"));
        m_oldWithStale = Snapshot(m_dir / "pristine");
        Reset();
        Platform::ArmFileFaults({});
        EXPECT_EQ(Apply(), PatchStepEnd::kNewBuild);
        m_stepCalls = Platform::DisarmFileFaults();
        m_new = Snapshot(Install());
        ASSERT_NE(m_old, m_new);
    }
    void TearDown() override {
        Platform::DisarmFileFaults();
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        fs::remove_all(m_dir);
    }

    fs::path Install() const { return m_dir / "install"; }
    void Reset() { CopyTree(m_dir / "pristine", Install()); }
    static void CopyTree(const fs::path& from, const fs::path& to) {
        fs::remove_all(to);
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    PatchStepEnd Apply() {
        return ApplyPatchStep(Install().wstring(), (m_dir / "patch").wstring(), L"BexoPortico.exe");
    }
    StepRecovery Recover() {
        std::wstring report;
        return RecoverInterruptedStep(Install().wstring(), &report);
    }
    // Which build the installation is; when neither, what differs from the closer one.
    std::string Build() const {
        const Tree now = Snapshot(Install());
        if (now == m_old || now == m_oldWithStale || now == m_new) {
            return now == m_new ? "new" : "old";
        }
        std::string differences = "neither build:";
        for (const Tree* build : {&m_old, &m_new}) {
            differences += build == &m_old ? " from the old:" : "; from the new:";
            for (const auto& [name, bytes] : now) {
                const auto it = build->find(name);
                if (it == build->end() || it->second != bytes) {
                    differences += " " + name;
                }
            }
            for (const auto& [name, bytes] : *build) {
                if (now.count(name) == 0) {
                    differences += " -" + name;
                }
            }
        }
        return differences;
    }

    fs::path m_dir;
    Tree m_old;
    Tree m_oldWithStale;
    Tree m_new;
    std::uint64_t m_stepCalls = 0;
};

TEST_F(StepFaultTest, EveryFailingFileCallOfAStepEndsInOneBuildAndSaysWhich) {
    ASSERT_GT(m_stepCalls, 20u);
    const auto started = std::chrono::steady_clock::now();
    int oldBuilds = 0;
    for (std::uint64_t n = 1; n <= m_stepCalls; ++n) {
        const int error = n % 2 == 0 ? EIO : ENOSPC;
        SCOPED_TRACE("file call " + std::to_string(n) + " fails with " +
                     (error == EIO ? "EIO" : "ENOSPC"));
        Reset();
        g_log.clear();
        Platform::ArmFileFaults({n, error, false});
        const PatchStepEnd end = Apply();
        Platform::DisarmFileFaults();
        // A single failure leaves the undo itself whole.
        ASSERT_NE(end, PatchStepEnd::kUnfinished) << g_log;
        const std::string said = end == PatchStepEnd::kNewBuild ? "new" : "old";
        // Whatever the step left for the next start (backups it could not remove) changes
        // no build.
        const StepRecovery recovery = Recover();
        ASSERT_NE(recovery, StepRecovery::kFailed);
        ASSERT_NE(recovery, StepRecovery::kUnreadable);
        ASSERT_EQ(Build(), said);
        oldBuilds += said == "old" ? 1 : 0;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    std::printf("fault sweep: %llu file calls, %d ended as the old build, %lld ms\n",
                static_cast<unsigned long long>(m_stepCalls), oldBuilds,
                static_cast<long long>(ms));
    EXPECT_GT(oldBuilds, 0);
}

// A step cut off after file call K (the disk gone from there on, as at a power cut), then
// recovery with its own file call M failing, then the next start's recovery.
TEST_F(StepFaultTest, RecoveryThatFailsPartWayIsFinishedByTheNextStart) {
    const auto started = std::chrono::steady_clock::now();
    std::uint64_t runs = 0;
    std::vector<Tree> states;
    for (std::uint64_t k = 1; k <= m_stepCalls; ++k) {
        SCOPED_TRACE("the step cut at file call " + std::to_string(k));
        Reset();
        Platform::ArmFileFaults({k, EIO, true});
        Apply();
        Platform::DisarmFileFaults();
        // Cuts that leave the same disk make the same recovery: each is tried once.
        Tree state = Snapshot(Install());
        if (std::find(states.begin(), states.end(), state) != states.end()) {
            continue;
        }
        states.push_back(std::move(state));
        CopyTree(Install(), m_dir / "cut");
        // The build the cut step must end in, from a recovery that nothing disturbs.
        Platform::ArmFileFaults({});
        const StepRecovery reference = Recover();
        const std::uint64_t recoveryCalls = Platform::DisarmFileFaults();
        ASSERT_TRUE(reference == StepRecovery::kNone || reference == StepRecovery::kUndone ||
                    reference == StepRecovery::kCompleted)
            << BuildName(reference);
        const std::string expected = Build();
        ASSERT_TRUE(expected == "old" || expected == "new") << expected;
        for (std::uint64_t m = 1; m <= recoveryCalls; ++m) {
            SCOPED_TRACE("recovery file call " + std::to_string(m) + " fails");
            CopyTree(m_dir / "cut", Install());
            Platform::ArmFileFaults({m, m % 2 == 0 ? EIO : ENOSPC, false});
            const StepRecovery first = Recover();
            Platform::DisarmFileFaults();
            ++runs;
            if (first == StepRecovery::kUndone || first == StepRecovery::kCompleted) {
                ASSERT_EQ(Build(), expected) << BuildName(first);
            } else {
                ASSERT_EQ(first, StepRecovery::kFailed) << BuildName(first);
            }
            const StepRecovery second = Recover();
            ASSERT_NE(second, StepRecovery::kFailed);
            ASSERT_NE(second, StepRecovery::kUnreadable);
            ASSERT_EQ(Build(), expected);
            ASSERT_EQ(Recover(), StepRecovery::kNone);
        }
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    std::printf(
        "recovery fault sweep: %llu cut points, %llu recoveries with a failing call, "
        "%lld ms\n",
        static_cast<unsigned long long>(m_stepCalls), static_cast<unsigned long long>(runs),
        static_cast<long long>(ms));
}

}  // namespace
