// What osmel-update shows: the session's log lines and one progress line per stage, on a
// terminal (the line updates in place), as plain lines (no control characters), as one
// JSON object per line, or nothing but errors. Any thread may call it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

namespace BexoPatch {

enum class OutputMode { kTerminal, kPlain, kJson, kQuiet };

struct ProgressSample {
    enum class Unit { kBytes, kFiles, kPercent };
    Unit unit = Unit::kBytes;
    std::uint64_t done = 0;
    // 0 when the total is not known.
    std::uint64_t total = 0;
    // Since the stage's progress was first seen.
    double seconds = 0;
};

std::string FormatBytes(std::uint64_t bytes);
std::string FormatDuration(std::uint64_t seconds);
// "12.0 MiB of 24.0 MiB, 3.1 MiB/s, 4 s left": what is done of the total, the rate and
// the time left, each part only when it can be told.
std::string FormatProgress(const ProgressSample& sample);
// The text as a JSON string literal, quotes included.
std::string JsonString(const std::string& utf8);
// Control characters (a server's or a file's text may carry any) become '?'; line
// breaks stay.
std::string PrintableText(const std::string& utf8);

class ConsoleOutput {
public:
    // `columns` is the terminal's width (0: unknown); only the terminal mode uses it.
    ConsoleOutput(OutputMode mode, std::FILE* out, std::FILE* err, int columns);

    OutputMode Mode() const { return m_mode; }

    // A line of the session's log at its level (LOG_NORMAL, LOG_NOTE, LOG_ERROR). A normal
    // line begins a new stage: the progress that follows belongs to it.
    void Log(std::int32_t level, const std::string& utf8);
    // The current stage's progress; called often, shown as often as the mode wants.
    void Progress(ProgressSample sample);
    // Asks on standard output and reads the answer from standard input: true for yes.
    // An interrupt while waiting for the answer is a no.
    bool Ask(const std::string& question);
    // The last line: the outcome in words, and for JSON its status name and exit code.
    void Result(const std::string& status, int exitCode, const std::string& text);

private:
    using Clock = std::chrono::steady_clock;

    // Ends the terminal's open line and reports the stage's last progress where the mode
    // shows it only now and then.
    void CloseStage();
    void WriteLine(std::FILE* stream, const std::string& text);
    void DrawProgressLine(const std::string& numbers);
    void WriteProgressRecord(const ProgressSample& sample);

    std::mutex m_lock;
    const OutputMode m_mode;
    std::FILE* const m_out;
    std::FILE* const m_err;
    const int m_columns;
    // The stage: its name, its line as shown, when its progress was first seen, its last sample and
    // whether that was shown.
    std::string m_stage;
    std::string m_stageLine;
    std::optional<Clock::time_point> m_stageStart;
    std::optional<ProgressSample> m_lastSample;
    bool m_lastShown = true;
    Clock::time_point m_lastRecord;
    // Terminal: the row the cursor is on holds text not yet ended by a line break;
    // m_openStage when that text is the stage's own line.
    bool m_lineOpen = false;
    bool m_openStage = false;
};

}  // namespace BexoPatch
