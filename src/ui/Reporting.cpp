#include "ui/Reporting.h"

#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/thread.h>

#include <atomic>

#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "ui/MainFrame.h"

namespace BexoPatch {

namespace {

std::atomic<bool> g_firstLogLine{true};

bool QuestionDialog(wxWindow* parent, const std::wstring& text, const std::wstring& caption) {
    wxMessageDialog dialog(parent, text, caption, wxYES_NO | wxNO_DEFAULT | wxICON_EXCLAMATION);
    return dialog.ShowModal() == wxID_YES;
}

std::atomic<bool (*)(wxWindow*, const std::wstring&, const std::wstring&)> g_question{
    QuestionDialog};

// Read-only names hidden, the current directory left alone, only existing files.
bool FileDialog(wxWindow* parent, const std::wstring& title, const std::wstring& filter,
                std::wstring* chosenPath) {
    wxFileDialog dialog(parent, title, wxEmptyString, wxEmptyString, filter,
                        wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    dialog.SetFilterIndex(0);
    if (dialog.ShowModal() != wxID_OK) {
        return false;
    }
    *chosenPath = dialog.GetPath().ToStdWstring();
    return true;
}

std::atomic<bool (*)(wxWindow*, const std::wstring&, const std::wstring&, std::wstring*)>
    g_fileDialog{FileDialog};

}  // namespace

void PostLogLine(std::int32_t level, const std::wstring& text) {
    SystemLog("[%d] %s", static_cast<int>(level), WideToUtf8(text).c_str());
    wxCommandEvent event(wxEVT_MENU, ID_LOG_LINE);
    event.SetString(wxString(text));
    event.SetInt(level);
    QueueToMainFrame(event);
}

void ClearLog() {
    if (wxThread::IsMain()) {
        if (MainFrame* frame = g_mainFrame.load()) {
            frame->ClearLogNow();
        }
        return;
    }
    // GTK belongs to the GUI thread: the clearing runs there, after the lines already
    // queued.
    CallOnMainFrame([](MainFrame& frame) { frame.ClearLogNow(); });
}

bool IsFirstLogLine() {
    return g_firstLogLine.load();
}

bool TakeFirstLogLine() {
    return g_firstLogLine.exchange(false);
}

bool AskYesNo(wxWindow* parent, const std::wstring& text, const std::wstring& caption) {
    return g_question.load()(parent, text, caption);
}

void SetQuestionHandler(bool (*handler)(wxWindow* parent, const std::wstring& text,
                                        const std::wstring& caption)) {
    g_question.store(handler != nullptr ? handler : QuestionDialog);
}

bool AskForFile(wxWindow* parent, const std::wstring& title, const std::wstring& filter,
                std::wstring* chosenPath) {
    return g_fileDialog.load()(parent, title, filter, chosenPath);
}

void SetFileDialogHandler(bool (*handler)(wxWindow* parent, const std::wstring& title,
                                          const std::wstring& filter, std::wstring* chosenPath)) {
    g_fileDialog.store(handler != nullptr ? handler : FileDialog);
}

}  // namespace BexoPatch
