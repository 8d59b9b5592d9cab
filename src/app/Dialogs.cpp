#include "app/Dialogs.h"

#include <wx/app.h>
#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/thread.h>

#include <atomic>

namespace BexoPatch {

namespace {

class WxDialogs : public Dialogs {
public:
    void ShowMessage(const std::wstring& text, const std::wstring& caption) override {
        wxMessageBox(text, caption, wxOK);
    }
    bool AskYesNo(wxWindow* parent, const std::wstring& text,
                  const std::wstring& caption) override {
        wxMessageDialog dialog(parent, text, caption, wxYES_NO | wxNO_DEFAULT | wxICON_EXCLAMATION);
        return dialog.ShowModal() == wxID_YES;
    }
    // Read-only names hidden, the current directory left alone, only existing files.
    bool ChooseFile(wxWindow* parent, const std::wstring& title, const std::wstring& filter,
                    std::wstring* chosenPath) override {
        wxFileDialog dialog(parent, title, wxEmptyString, wxEmptyString, filter,
                            wxFD_OPEN | wxFD_FILE_MUST_EXIST);
        dialog.SetFilterIndex(0);
        if (dialog.ShowModal() != wxID_OK) {
            return false;
        }
        *chosenPath = dialog.GetPath().ToStdWstring();
        return true;
    }
};

WxDialogs g_wxDialogs;
std::atomic<Dialogs*> g_dialogs{&g_wxDialogs};

}  // namespace

Dialogs& GetDialogs() {
    return *g_dialogs.load();
}

void SetDialogs(Dialogs* dialogs) {
    g_dialogs.store(dialogs != nullptr ? dialogs : &g_wxDialogs);
}

void ShowMessageBox(const std::wstring& text, const std::wstring& caption) {
    // GTK may only be called on the GUI thread.
    if (wxThread::IsMain() || wxTheApp == nullptr) {
        GetDialogs().ShowMessage(text, caption);
        return;
    }
    wxTheApp->CallAfter([text, caption] { GetDialogs().ShowMessage(text, caption); });
}

}  // namespace BexoPatch
