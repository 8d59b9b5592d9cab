// Recovery of interrupted steps from hand-made states: what the disk can hold when a step
// is cut at any point, and what recovery must make of it.
#include "patch/StepJournal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "TestFiles.h"
#include "patch/MD5.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace fs = std::filesystem;
using BexoPatch::testing::ReadFile;
using BexoPatch::testing::WriteFile;

namespace {

using Tree = std::map<std::string, std::string>;

Tree Snapshot(const fs::path& root) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            tree[entry.path().lexically_relative(root).generic_string()] = ReadFile(entry.path());
        }
    }
    return tree;
}

std::wstring Md5(const std::string& bytes) {
    MD5 md5;
    md5.update(reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<std::uint32_t>(bytes.size()));
    md5.finalize();
    const auto hex = md5.hex_digest();
    return std::wstring(hex.get(), hex.get() + 32);
}

// The old build: a.txt and b.txt patched, gone.txt deleted, new.txt added; the user has
// kept a file where the step adds mine.txt, and a stale backup of b.txt lies around.
const Tree kOld = {{"a.txt", "a old"},   {"b.txt", "b old"},         {"b.txt.pbk", "stale"},
                   {"gone.txt", "gone"}, {"mine.txt", "the user's"}, {"unins000.dat", "log old"}};
const Tree kNew = {{"a.txt", "a new"}, {"b.txt", "b new"},         {"b.txt.pbk", "stale"},
                   {"new.txt", "new"}, {"mine.txt", "the step's"}, {"unins000.dat", "log new"}};

class StepJournalTest : public ::testing::Test {
public:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("osmel-journal-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        for (const auto& [name, bytes] : kOld) {
            WriteFile(m_root / name, bytes);
        }
        m_install = Platform::FromSystemPath(m_root.string());
    }
    void TearDown() override { fs::remove_all(m_root); }

    std::wstring W(const char* name) const {
        return m_install + L"\\" + Platform::FromSystemPath(name);
    }

    StepJournalPlan Plan() const {
        StepJournalPlan plan;
        plan.installDirectory = m_install;
        plan.patchDirectory = L"\\tmp\\patch";
        const auto entry = [this](StepJournalEntry::Kind kind, const char* name,
                                  const char* oldBytes, const char* newBytes, bool existed) {
            StepJournalEntry e;
            e.kind = kind;
            e.target = W(name);
            e.backup = e.target + L".pbk";
            e.oldMD5 = oldBytes != nullptr ? Md5(oldBytes) : L"";
            e.newMD5 = newBytes != nullptr ? Md5(newBytes) : L"";
            e.targetExisted = existed;
            e.backupExisted = fs::exists(m_root / (std::string(name) + ".pbk"));
            if (e.backupExisted) {
                e.staleBackupMD5 = Md5(ReadFile(m_root / (std::string(name) + ".pbk")));
            }
            return e;
        };
        plan.entries = {entry(StepJournalEntry::kAdd, "new.txt", nullptr, "new", false),
                        entry(StepJournalEntry::kAdd, "mine.txt", nullptr, "the step's", true),
                        entry(StepJournalEntry::kDelete, "gone.txt", nullptr, nullptr, true),
                        entry(StepJournalEntry::kPatch, "a.txt", "a old", "a new", true),
                        entry(StepJournalEntry::kPatch, "b.txt", "b old", "b new", true)};
        plan.uninstallLogPresent = true;
        plan.uninstallLogMD5 = Md5("log old");
        plan.uninstallLogCopy = UninstallLogCopyPath(m_install);
        return plan;
    }

    void Move(const char* from, const char* to) { fs::rename(m_root / from, m_root / to); }

    // Every change of the step, up to the replaced uninstaller log, as the engine makes them.
    static void MakeEveryChange(StepJournalTest& t) {
        WriteFile(t.m_root / "new.txt", "new");
        t.Move("mine.txt", "mine.txt.pbk");
        WriteFile(t.m_root / "mine.txt", "the step's");
        t.Move("gone.txt", "gone.txt.pbk");
        t.Move("a.txt", "a.txt.pbk");
        WriteFile(t.m_root / "a.txt", "a new");
        fs::remove(t.m_root / "b.txt.pbk");
        t.Move("b.txt", "b.txt.pbk");
        WriteFile(t.m_root / "b.txt", "b new");
        fs::copy_file(t.m_root / "unins000.dat", t.m_root / "unins000.dat.osmel-old");
        WriteFile(t.m_root / "unins000.dat", "log new");
    }

    fs::path m_root;
    std::wstring m_install;
};

// Each case starts from the old build with the plan on disk and then does part of the
// step by hand, as the engine would have when it was cut.
TEST_F(StepJournalTest, RecoveryEndsWithOneWholeBuild) {
    struct Case {
        const char* name;
        std::function<void(StepJournalTest&)> progress;
        bool commit;
        StepRecovery expected;
        // The step had already replaced the stale backup of b.txt with its own, as an
        // uninterrupted step that fails does too.
        bool staleReplaced = false;
    };
    const std::vector<Case> cases = {
        {"plan written, nothing done", [](StepJournalTest&) {}, false, StepRecovery::kUndone},
        {"added files half copied",
         [](StepJournalTest& t) {
             WriteFile(t.m_root / "new.txt", "ne");
             t.Move("mine.txt", "mine.txt.pbk");
             WriteFile(t.m_root / "mine.txt", "the st");
         },
         false, StepRecovery::kUndone},
        {"adds and the delete done, the first patch's backup made, its tool cut",
         [](StepJournalTest& t) {
             WriteFile(t.m_root / "new.txt", "new");
             t.Move("mine.txt", "mine.txt.pbk");
             WriteFile(t.m_root / "mine.txt", "the step's");
             t.Move("gone.txt", "gone.txt.pbk");
             t.Move("a.txt", "a.txt.pbk");
             WriteFile(t.m_root / "a.txt", "a n");
         },
         false, StepRecovery::kUndone},
        {"every change made, the log replaced, not committed", &StepJournalTest::MakeEveryChange,
         false, StepRecovery::kUndone, true},
        {"committed with every backup left", &StepJournalTest::MakeEveryChange, true,
         StepRecovery::kCompleted, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        ASSERT_TRUE(WriteStepJournal(Plan()));
        c.progress(*this);
        if (c.commit) {
            ASSERT_TRUE(CommitStepJournal(m_install));
        }
        std::wstring report;
        EXPECT_EQ(RecoverInterruptedStep(m_install, &report), c.expected);
        EXPECT_FALSE(report.empty());
        Tree expected = c.expected == StepRecovery::kCompleted ? kNew : kOld;
        if (c.staleReplaced) {
            expected.erase("b.txt.pbk");
        }
        EXPECT_EQ(Snapshot(m_root), expected);
        EXPECT_EQ(RecoverInterruptedStep(m_install, &report), StepRecovery::kNone);
    }
}

TEST_F(StepJournalTest, ATornJournalIsReportedAndLeftAlone) {
    ASSERT_TRUE(WriteStepJournal(Plan()));
    const fs::path journal = Platform::ToSystemPath(StepJournalPath(m_install));
    fs::resize_file(journal, fs::file_size(journal) - 7);
    Move("a.txt", "a.txt.pbk");
    const Tree before = Snapshot(m_root);
    std::wstring report;
    EXPECT_EQ(RecoverInterruptedStep(m_install, &report), StepRecovery::kUnreadable);
    EXPECT_NE(report.find(L"cannot be read"), std::wstring::npos);
    EXPECT_EQ(Snapshot(m_root), before);
}

// A step cut while its plan was being written had changed nothing yet: the unfinished
// plan goes and nothing else is touched.
TEST_F(StepJournalTest, AnUnfinishedPlanIsDroppedAndNothingElseTouched) {
    ASSERT_TRUE(WriteStepJournal(Plan()));
    const fs::path journal = Platform::ToSystemPath(StepJournalPath(m_install));
    const fs::path unfinished = Platform::ToSystemPath(UnfinishedPlanPath(m_install));
    EXPECT_FALSE(fs::exists(unfinished)) << "a written plan is the journal";
    fs::rename(journal, unfinished);
    fs::resize_file(unfinished, 9);
    std::wstring report;
    EXPECT_EQ(RecoverInterruptedStep(m_install, &report), StepRecovery::kNone);
    EXPECT_TRUE(report.empty());
    EXPECT_EQ(Snapshot(m_root), kOld);
}

TEST_F(StepJournalTest, ATornCommitRecordUndoesTheStep) {
    ASSERT_TRUE(WriteStepJournal(Plan()));
    Move("a.txt", "a.txt.pbk");
    WriteFile(m_root / "a.txt", "a new");
    ASSERT_TRUE(CommitStepJournal(m_install));
    const fs::path journal = Platform::ToSystemPath(StepJournalPath(m_install));
    fs::resize_file(journal, fs::file_size(journal) - 3);
    std::wstring report;
    EXPECT_EQ(RecoverInterruptedStep(m_install, &report), StepRecovery::kUndone);
    EXPECT_EQ(Snapshot(m_root), kOld);
}

// A journal acts on the installation it lies in and on nothing else: one that names a path
// outside it (planted by a package, or copied from elsewhere) is not acted on at all.
TEST_F(StepJournalTest, AJournalNamingPathsOutsideTheInstallationIsLeftAlone) {
    const fs::path outside = m_root.parent_path() / (m_root.filename().string() + "-outside.txt");
    WriteFile(outside, "not the installation's");
    const std::wstring outsidePath = Platform::FromSystemPath(outside.string());
    struct Case {
        const char* name;
        std::function<void(StepJournalPlan&)> forge;
    };
    const std::vector<Case> cases = {
        {"an added file outside", [&](StepJournalPlan& p) { p.entries[0].target = outsidePath; }},
        {"a backup outside", [&](StepJournalPlan& p) { p.entries[3].backup = outsidePath; }},
        {"a climbing path",
         [&](StepJournalPlan& p) { p.entries[0].target = W("..") + L"\\x.txt"; }},
        {"another installation",
         [&](StepJournalPlan& p) { p.installDirectory = m_install + L"-other"; }},
        {"the journal itself",
         [&](StepJournalPlan& p) { p.entries[0].target = StepJournalPath(m_install); }},
        {"the log's copy elsewhere", [&](StepJournalPlan& p) { p.uninstallLogCopy = outsidePath; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        StepJournalPlan plan = Plan();
        c.forge(plan);
        // A journal written for another installation, then found in this one.
        const fs::path written = Platform::ToSystemPath(plan.installDirectory);
        fs::create_directories(written);
        ASSERT_TRUE(WriteStepJournal(plan));
        if (written != m_root) {
            fs::rename(Platform::ToSystemPath(StepJournalPath(plan.installDirectory)),
                       Platform::ToSystemPath(StepJournalPath(m_install)));
            fs::remove_all(written);
        }
        const Tree before = Snapshot(m_root);
        std::wstring report;
        EXPECT_EQ(RecoverInterruptedStep(m_install, &report), StepRecovery::kUnreadable);
        EXPECT_EQ(Snapshot(m_root), before);
        EXPECT_EQ(ReadFile(outside), "not the installation's");
    }
    fs::remove(outside);
}

// An undo that cannot finish keeps the journal: the next start tries again, and no one is
// told "restored" while a file is missing.
TEST_F(StepJournalTest, AnUndoThatCannotFinishKeepsTheJournal) {
    ASSERT_TRUE(WriteStepJournal(Plan()));
    Move("a.txt", "a.txt.pbk");
    fs::create_directories(m_root / "a.txt" / "in-the-way");
    std::wstring report;
    EXPECT_EQ(RecoverInterruptedStep(m_install, &report), StepRecovery::kFailed);
    EXPECT_NE(report.find(L"tried again"), std::wstring::npos);
    EXPECT_TRUE(fs::exists(Platform::ToSystemPath(StepJournalPath(m_install))));
    EXPECT_EQ(ReadFile(m_root / "a.txt.pbk"), "a old");
    fs::remove_all(m_root / "a.txt");
    EXPECT_EQ(RecoverInterruptedStep(m_install, &report), StepRecovery::kUndone);
    EXPECT_EQ(Snapshot(m_root), kOld);
}

}  // namespace
