// kpatchl-w32.exe and KAConverter.exe as the patch engine runs them: a Unicode command
// line naming files with spaces and the typographic characters that the narrow file
// interface keeps (which not every ANSI code page has), and the exit codes the engine
// reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "DeltaCodec.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "kernel/Text.h"
#include "platform/System.h"

namespace fs = std::filesystem;
using BexoPatch::testing::Noise;
using BexoPatch::testing::ReadFile;
using BexoPatch::testing::RunProcess;
using BexoPatch::testing::WriteFile;

namespace {

// The path in the program's internal form, through UTF-8 on every system.
std::wstring Wide(const fs::path& path) {
    const std::u8string text = path.u8string();
    return Utf8ToWide(std::string(text.begin(), text.end()));
}

const std::wstring kKpatchl = L"kpatchl-w32.exe\"";
const std::wstring kConverter = L"KAConverter.exe\" patchapply";

class DeltaToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / (u8"osmel-delta «Kelvor» – ‘Nord’ 20° …" + [] {
                    const std::string pid = std::to_string(Platform::GetCurrentProcessId());
                    return std::u8string(pid.begin(), pid.end());
                }());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "bin");
        fs::copy_file(OSMEL_KPATCHL, m_dir / "bin" / "kpatchl-w32.exe");
        fs::copy_file(OSMEL_KACONVERTER, m_dir / "bin" / "KAConverter.exe");
        m_old = Noise(300000, 1);
        m_new = m_old;
        m_new.replace(123456, 6, "EDITED");
        m_new += "tail";
        WriteFile(m_dir / u8"alt «1».dat", m_old);
        WriteFile(m_dir / u8"neu – 2.dat", m_new);
        std::string error;
        ASSERT_EQ(Delta::MakeDiff(Path(u8"alt «1».dat"), Path(u8"neu – 2.dat"),
                                  Path(u8"‘diff’.diff"), Delta::Kind::Prefix, 3, &error),
                  Delta::Status::Ok)
            << error;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::wstring Path(const std::u8string& name) const { return Wide(m_dir / name); }

    // Runs the tool from the installation's bin on files of the folder, as the engine
    // does: the command (if any), then full paths, quoted. Its exit code.
    int Run(const std::wstring& tool, const std::vector<std::u8string>& files) const {
        std::wstring commandLine = L"\"" + Path(u8"bin") + L"\\" + tool;
        for (const std::u8string& file : files) {
            commandLine += L" \"" + Path(file) + L"\"";
        }
        return RunProcess(commandLine);
    }

    fs::path m_dir;
    std::string m_old;
    std::string m_new;
};

TEST_F(DeltaToolsTest, BothToolsRebuildTheNewFile) {
    EXPECT_LT(fs::file_size(m_dir / u8"‘diff’.diff"), 10000u);
    EXPECT_EQ(Run(kKpatchl, {u8"alt «1».dat", u8"‘diff’.diff", u8"aus kpatchl.dat"}), 0);
    EXPECT_TRUE(ReadFile(m_dir / u8"aus kpatchl.dat") == m_new);
    EXPECT_EQ(Run(kConverter, {u8"alt «1».dat", u8"‘diff’.diff", u8"aus ka.dat"}), 0);
    EXPECT_TRUE(ReadFile(m_dir / u8"aus ka.dat") == m_new);
}

TEST_F(DeltaToolsTest, ExitCodesNameWhatFailedAndNoOutputIsLeft) {
    const std::string diff = ReadFile(m_dir / u8"‘diff’.diff");
    WriteFile(m_dir / "cut.diff", diff.substr(0, diff.size() / 2));
    WriteFile(m_dir / "other.dat", Noise(300000, 2));
    struct Case {
        const char* what;
        std::vector<std::u8string> files;  // OLD DIFF NEW, or fewer
        int kpatchl;
        int converter;
    };
    const Case cases[] = {
        {"too few arguments", {u8"alt «1».dat", u8"‘diff’.diff"}, 1, 5},
        {"no old file", {u8"fehlt°.dat", u8"‘diff’.diff", u8"out.dat"}, 2, 2},
        {"no difference file", {u8"alt «1».dat", u8"fehlt°.diff", u8"out.dat"}, 3, 3},
        {"output folder missing", {u8"alt «1».dat", u8"‘diff’.diff", u8"fehlt°/out.dat"}, 4, 4},
        {"another old file", {u8"other.dat", u8"‘diff’.diff", u8"out.dat"}, 5, 1},
        {"cut difference", {u8"alt «1».dat", u8"cut.diff", u8"out.dat"}, 5, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(kKpatchl, c.files), c.kpatchl) << c.what;
        EXPECT_EQ(Run(kConverter, c.files), c.converter) << c.what;
        EXPECT_FALSE(fs::exists(m_dir / "out.dat")) << c.what;
    }
}

}  // namespace
