// The reporting path from workers to the window: the log callback and log clearing.
#pragma once

#include <cstdint>
#include <string>

namespace BexoPatch {

// The log callback: queues the line for the main frame (any thread) and writes it to the
// system log with its level. Without a main frame the window never sees the line.
void PostLogLine(std::int32_t level, const std::wstring& text);

// Empties the window log; from a worker the clearing is queued behind the lines already
// posted.
void ClearLog();

// Whether the log has not yet received a line.
bool IsFirstLogLine();
// Takes the first line's place, for OnLogLine.
bool TakeFirstLogLine();

}  // namespace BexoPatch
