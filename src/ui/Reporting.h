// The reporting path from workers to the window: the log callback, log clearing, and the
// question and file dialogs behind a seam that tests answer.
#pragma once

#include <cstdint>
#include <string>

class wxWindow;

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

// A Yes/No question with No as the default and a warning icon; true for Yes.
bool AskYesNo(wxWindow* parent, const std::wstring& text, const std::wstring& caption);
void SetQuestionHandler(bool (*handler)(wxWindow* parent, const std::wstring& text,
                                        const std::wstring& caption));

// The open-file dialog for one existing file: the title, a "description|pattern" filter,
// and the chosen path; false when the user cancels.
bool AskForFile(wxWindow* parent, const std::wstring& title, const std::wstring& filter,
                std::wstring* chosenPath);
void SetFileDialogHandler(bool (*handler)(wxWindow* parent, const std::wstring& title,
                                          const std::wstring& filter, std::wstring* chosenPath));

}  // namespace BexoPatch
