// The dialogs of the program behind one seam, which tests answer: the message box, the
// Yes/No question and the open-file dialog. The real ones are wxWidgets' dialogs.
#pragma once

#include <string>

class wxWindow;

namespace BexoPatch {

class Dialogs {
public:
    Dialogs() = default;
    Dialogs(const Dialogs&) = delete;
    Dialogs& operator=(const Dialogs&) = delete;
    virtual ~Dialogs() = default;

    // A message box with an OK button and no owner. Called on the GUI thread, and from a
    // fatal-error handler.
    virtual void ShowMessage(const std::wstring& text, const std::wstring& caption) = 0;
    // A Yes/No question with No as the default and a warning icon; true for Yes.
    virtual bool AskYesNo(wxWindow* parent, const std::wstring& text,
                          const std::wstring& caption) = 0;
    // The open-file dialog for one existing file: the title, a "description|pattern"
    // filter, and the chosen path; false when the user cancels.
    virtual bool ChooseFile(wxWindow* parent, const std::wstring& title, const std::wstring& filter,
                            std::wstring* chosenPath) = 0;
};

// The process's dialogs: the real ones unless others were set.
Dialogs& GetDialogs();
// Replaces the dialogs (tests); null brings the real ones back. The object must outlive
// its use.
void SetDialogs(Dialogs* dialogs);

// The message box from any thread: a worker does not wait for it, since the window could
// be joining that very thread while it closes.
void ShowMessageBox(const std::wstring& text, const std::wstring& caption);

}  // namespace BexoPatch
