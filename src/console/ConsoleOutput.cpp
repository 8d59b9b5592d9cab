#include "console/ConsoleOutput.h"

#include <cinttypes>
#include <cmath>
#include <vector>

#include "patch/PatchCallbacks.h"

namespace BexoPatch {

namespace {

// A plain or JSON record of a running stage at most this often; the terminal's line
// follows every sample.
constexpr double kPlainRecordSeconds = 10;
constexpr double kJsonRecordSeconds = 1;
// Before this, a rate says nothing yet.
constexpr double kRateAfterSeconds = 0.5;
// The width assumed when a terminal does not tell its own.
constexpr int kDefaultColumns = 80;

std::string OneDecimal(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return lines;
        }
        start = end + 1;
    }
}

// The text without the line breaks and spaces it ends with.
std::string TrimEnd(const std::string& text, const char* characters) {
    const std::size_t end = text.find_last_not_of(characters);
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

// Characters on the screen: UTF-8 continuation bytes take no column.
std::size_t Columns(const std::string& utf8) {
    std::size_t count = 0;
    for (const char c : utf8) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

// At most `columns` characters, cut on a character boundary.
std::string Fit(const std::string& utf8, std::size_t columns) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80 && count++ == columns) {
            return utf8.substr(0, i);
        }
    }
    return utf8;
}

const char* LevelName(std::int32_t level) {
    switch (level) {
        case LOG_NOTE:
            return "note";
        case LOG_ERROR:
            return "error";
        default:
            return "normal";
    }
}

const char* UnitName(ProgressSample::Unit unit) {
    switch (unit) {
        case ProgressSample::Unit::kBytes:
            return "bytes";
        case ProgressSample::Unit::kFiles:
            return "files";
        case ProgressSample::Unit::kPercent:
            return "percent";
    }
    return "";
}

double Rate(const ProgressSample& sample) {
    return sample.seconds >= kRateAfterSeconds ? static_cast<double>(sample.done) / sample.seconds
                                               : 0;
}

std::optional<std::uint64_t> SecondsLeft(const ProgressSample& sample) {
    const double rate = Rate(sample);
    if (rate <= 0 || sample.total == 0 || sample.done > sample.total) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(
        std::ceil(static_cast<double>(sample.total - sample.done) / rate));
}

}  // namespace

std::string FormatBytes(std::uint64_t bytes) {
    constexpr double kKiB = 1024.0;
    const auto value = static_cast<double>(bytes);
    if (value >= kKiB * kKiB * kKiB) {
        return OneDecimal(value / (kKiB * kKiB * kKiB)) + " GiB";
    }
    if (value >= kKiB * kKiB) {
        return OneDecimal(value / (kKiB * kKiB)) + " MiB";
    }
    if (value >= kKiB) {
        return OneDecimal(value / kKiB) + " KiB";
    }
    return std::to_string(bytes) + " B";
}

std::string FormatDuration(std::uint64_t seconds) {
    if (seconds < 60) {
        return std::to_string(seconds) + " s";
    }
    char text[64];
    if (seconds < 3600) {
        std::snprintf(text, sizeof text, "%" PRIu64 " min %02" PRIu64 " s", seconds / 60,
                      seconds % 60);
    } else {
        std::snprintf(text, sizeof text, "%" PRIu64 " h %02" PRIu64 " min", seconds / 3600,
                      seconds / 60 % 60);
    }
    return text;
}

std::string FormatProgress(const ProgressSample& sample) {
    std::string text;
    const double rate = Rate(sample);
    switch (sample.unit) {
        case ProgressSample::Unit::kBytes:
            text = FormatBytes(sample.done);
            if (sample.total != 0) {
                text += " of " + FormatBytes(sample.total);
            }
            if (rate > 0) {
                text += ", " + FormatBytes(static_cast<std::uint64_t>(rate)) + "/s";
            }
            break;
        case ProgressSample::Unit::kFiles:
            text = std::to_string(sample.done);
            if (sample.total != 0) {
                text += " of " + std::to_string(sample.total);
            }
            text += " files";
            if (rate > 0) {
                text += ", " + OneDecimal(rate) + " files/s";
            }
            break;
        case ProgressSample::Unit::kPercent:
            text = std::to_string(sample.total == 0 ? 0 : sample.done * 100 / sample.total) + "%";
            break;
    }
    if (const std::optional<std::uint64_t> left = SecondsLeft(sample)) {
        text += ", " + FormatDuration(*left) + " left";
    }
    return text;
}

std::string JsonString(const std::string& utf8) {
    std::string text = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                text += "\\\"";
                break;
            case '\\':
                text += "\\\\";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            case '\t':
                text += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                    text += escape;
                } else {
                    text += c;
                }
        }
    }
    return text + "\"";
}

std::string PrintableText(const std::string& utf8) {
    std::string text = utf8;
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n') || byte == 0x7F) {
            c = '?';
        }
    }
    return text;
}

ConsoleOutput::ConsoleOutput(OutputMode mode, std::FILE* out, std::FILE* err, int columns)
    : m_mode(mode), m_out(out), m_err(err), m_columns(columns > 0 ? columns : kDefaultColumns) {}

void ConsoleOutput::WriteLine(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void ConsoleOutput::CloseStage() {
    if (m_lineOpen) {
        std::fputc('\n', m_out);
        std::fflush(m_out);
        m_lineOpen = false;
        m_openStage = false;
    }
    if (m_lastSample && !m_lastShown) {
        WriteProgressRecord(*m_lastSample);
    }
}

void ConsoleOutput::Log(std::int32_t level, const std::string& utf8) {
    std::lock_guard<std::mutex> hold(m_lock);
    CloseStage();
    const std::string text = PrintableText(TrimEnd(utf8, "\n "));
    if (level == LOG_NORMAL) {
        m_stage = TrimEnd(text, ".: \n");
        m_stageLine = text;
        m_stageStart.reset();
        m_lastSample.reset();
        m_lastShown = true;
    }
    switch (m_mode) {
        case OutputMode::kTerminal:
            if (level == LOG_NORMAL && !text.empty() && text.find('\n') == std::string::npos) {
                std::fputs(text.c_str(), m_out);
                std::fflush(m_out);
                m_lineOpen = true;
                m_openStage = true;
                return;
            }
            [[fallthrough]];
        case OutputMode::kPlain:
            for (const std::string& line : SplitLines(text)) {
                WriteLine(m_out, line);
            }
            return;
        case OutputMode::kJson:
            WriteLine(m_out, std::string("{\"type\":\"log\",\"level\":\"") + LevelName(level) +
                                 "\",\"text\":" + JsonString(TrimEnd(utf8, "\n ")) + "}");
            return;
        case OutputMode::kQuiet:
            if (level == LOG_ERROR) {
                for (const std::string& line : SplitLines(text)) {
                    WriteLine(m_err, line);
                }
            }
            return;
    }
}

void ConsoleOutput::DrawProgressLine(const std::string& numbers) {
    const auto room = static_cast<std::size_t>(m_columns - 1);
    std::string line;
    if (m_openStage && Columns(m_stageLine) + 1 + Columns(numbers) <= room) {
        line = m_stageLine + " " + numbers;
    } else {
        if (m_openStage) {
            // The stage's line is too long to share its row: the numbers get their own.
            std::fputc('\n', m_out);
            m_openStage = false;
        }
        line = "  " + numbers;
    }
    // Carriage return, the line, and the rest of the row erased: never wider than the
    // terminal, so that the return reaches the line's start.
    std::fputs(("\r" + Fit(line, room) + "\x1b[K").c_str(), m_out);
    std::fflush(m_out);
    m_lineOpen = true;
}

void ConsoleOutput::WriteProgressRecord(const ProgressSample& sample) {
    if (m_mode == OutputMode::kPlain) {
        WriteLine(m_out, (m_stage.empty() ? std::string("Progress") : m_stage) + ": " +
                             FormatProgress(sample));
    } else if (m_mode == OutputMode::kJson) {
        std::string record = "{\"type\":\"progress\",\"stage\":" + JsonString(m_stage) +
                             ",\"unit\":\"" + UnitName(sample.unit) +
                             "\",\"done\":" + std::to_string(sample.done) +
                             ",\"total\":" + std::to_string(sample.total) +
                             ",\"rate\":" + OneDecimal(Rate(sample)) + ",\"seconds_left\":";
        const std::optional<std::uint64_t> left = SecondsLeft(sample);
        record += left ? std::to_string(*left) : std::string("null");
        WriteLine(m_out, record + "}");
    }
    m_lastShown = true;
    m_lastRecord = Clock::now();
}

void ConsoleOutput::Progress(ProgressSample sample) {
    std::lock_guard<std::mutex> hold(m_lock);
    const Clock::time_point now = Clock::now();
    const bool first = !m_stageStart.has_value();
    if (first) {
        m_stageStart = now;
    }
    sample.seconds = std::chrono::duration<double>(now - *m_stageStart).count();
    m_lastSample = sample;
    m_lastShown = false;
    const double sinceRecord = std::chrono::duration<double>(now - m_lastRecord).count();
    switch (m_mode) {
        case OutputMode::kTerminal:
            DrawProgressLine(FormatProgress(sample));
            m_lastShown = true;
            return;
        case OutputMode::kPlain:
            if (!first && sinceRecord >= kPlainRecordSeconds) {
                WriteProgressRecord(sample);
            } else if (first) {
                m_lastRecord = now;
            }
            return;
        case OutputMode::kJson:
            if (first || sinceRecord >= kJsonRecordSeconds) {
                WriteProgressRecord(sample);
            }
            return;
        case OutputMode::kQuiet:
            m_lastShown = true;
            return;
    }
}

bool ConsoleOutput::Ask(const std::string& question) {
    std::lock_guard<std::mutex> hold(m_lock);
    CloseStage();
    std::fputs(question.c_str(), m_out);
    std::fflush(m_out);
    char answer[64] = {};
    const bool read = std::fgets(answer, sizeof answer, stdin) != nullptr;
    if (!read) {
        std::fputc('\n', m_out);
    }
    return read && (answer[0] == 'y' || answer[0] == 'Y');
}

void ConsoleOutput::Result(const std::string& status, int exitCode, const std::string& text) {
    std::lock_guard<std::mutex> hold(m_lock);
    CloseStage();
    switch (m_mode) {
        case OutputMode::kTerminal:
        case OutputMode::kPlain:
            WriteLine(m_out, PrintableText(text));
            return;
        case OutputMode::kJson:
            WriteLine(m_out, "{\"type\":\"result\",\"status\":\"" + status + "\",\"exit\":" +
                                 std::to_string(exitCode) + ",\"text\":" + JsonString(text) + "}");
            return;
        case OutputMode::kQuiet:
            return;
    }
}

}  // namespace BexoPatch
