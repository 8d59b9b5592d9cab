#include "console/ConsoleOutput.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "patch/PatchCallbacks.h"

using namespace BexoPatch;

namespace {

using Unit = ProgressSample::Unit;

ProgressSample Sample(Unit unit, std::uint64_t done, std::uint64_t total, double seconds) {
    ProgressSample sample;
    sample.unit = unit;
    sample.done = done;
    sample.total = total;
    sample.seconds = seconds;
    return sample;
}

// What was written to a temporary file.
std::string Contents(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

TEST(ConsoleOutputTest, ProgressTextsSayWhatIsDoneTheRateAndTheTimeLeft) {
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const struct {
        ProgressSample sample;
        const char* text;
    } cases[] = {
        {Sample(Unit::kBytes, 12 * kMiB, 24 * kMiB, 4),
         "12.0 MiB of 24.0 MiB, 3.0 MiB/s, 4 s left"},
        // No total: no time left; too early for a rate: neither.
        {Sample(Unit::kBytes, 1536, 0, 2), "1.5 KiB, 768 B/s"},
        {Sample(Unit::kBytes, 10, 100, 0.1), "10 B of 100 B"},
        {Sample(Unit::kFiles, 30, 300, 10), "30 of 300 files, 3.0 files/s, 1 min 30 s left"},
        {Sample(Unit::kPercent, 250, 1000, 5), "25%, 15 s left"},
        // More done than announced (a server's size was wrong): no time left.
        {Sample(Unit::kBytes, 200, 100, 1), "200 B of 100 B, 200 B/s"},
        {Sample(Unit::kFiles, 1, 7300, 1), "1 of 7300 files, 1.0 files/s, 2 h 01 min left"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatProgress(c.sample), c.text);
    }
}

TEST(ConsoleOutputTest, TextFromOutsideReachesNoTerminalOrJsonReaderRaw) {
    EXPECT_EQ(JsonString("a\"b\\c\nd\x1b[2J\x7f"), "\"a\\\"b\\\\c\\nd\\u001b[2J\\u007f\"");
    EXPECT_EQ(JsonString("Grüße"), "\"Grüße\"");
    EXPECT_EQ(PrintableText("name\x1b]0;title\x07\r\nnext"), "name?]0;title??\nnext");
}

TEST(ConsoleOutputTest, TerminalRedrawsOneLinePerStageAndEndsItAtTheNextLine) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(err, nullptr);
    {
        ConsoleOutput output(OutputMode::kTerminal, out, err, 40);
        output.Log(LOG_NORMAL, "Patching...\n");
        output.Progress(Sample(Unit::kFiles, 1, 3, 0));
        output.Progress(Sample(Unit::kFiles, 3, 3, 0));
        output.Log(LOG_ERROR, "bad\x1b");
        // Too long to share its row with the numbers: they get their own, cut to fit.
        output.Log(LOG_NORMAL, "A stage whose line fills most of the row");
        output.Progress(Sample(Unit::kBytes, 5, 0, 0));
        output.Result("updated", 0, "done");
    }
    EXPECT_EQ(Contents(out),
              "Patching...\rPatching... 1 of 3 files\x1b[K\rPatching... 3 of 3 files\x1b[K\n"
              "bad?\n"
              "A stage whose line fills most of the row\n\r  5 B\x1b[K\n"
              "done\n");
    EXPECT_EQ(Contents(err), "");
    std::fclose(out);
    std::fclose(err);
}

TEST(ConsoleOutputTest, PlainJsonAndQuietWriteNoControlCharacters) {
    const struct {
        OutputMode mode;
        const char* out;
        const char* err;
    } cases[] = {
        {OutputMode::kPlain, "Unpacking patch file...\nUnpacking patch file: 50%\nbad?\ndone\n",
         ""},
        {OutputMode::kJson,
         "{\"type\":\"log\",\"level\":\"normal\",\"text\":\"Unpacking patch file...\"}\n"
         "{\"type\":\"progress\",\"stage\":\"Unpacking patch file\",\"unit\":\"percent\","
         "\"done\":5,\"total\":10,\"rate\":0.0,\"seconds_left\":null}\n"
         "{\"type\":\"log\",\"level\":\"error\",\"text\":\"bad\\u001b\"}\n"
         "{\"type\":\"result\",\"status\":\"updated\",\"exit\":0,\"text\":\"done\"}\n",
         ""},
        {OutputMode::kQuiet, "", "bad?\n"},
    };
    for (const auto& c : cases) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        ASSERT_NE(out, nullptr);
        ASSERT_NE(err, nullptr);
        {
            ConsoleOutput output(c.mode, out, err, 0);
            output.Log(LOG_NORMAL, "Unpacking patch file...");
            output.Progress(Sample(Unit::kPercent, 5, 10, 0));
            output.Log(LOG_ERROR, "bad\x1b");
            output.Result("updated", 0, "done");
        }
        EXPECT_EQ(Contents(out), c.out);
        EXPECT_EQ(Contents(err), c.err);
        std::fclose(out);
        std::fclose(err);
    }
}

}  // namespace
