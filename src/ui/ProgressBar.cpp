#include "ui/ProgressBar.h"

#include <wx/dcbuffer.h>
#include <wx/settings.h>

#include <algorithm>

namespace BexoPatch {

ProgressBar::ProgressBar(wxWindow* parent, wxWindowID id, int range, const wxSize& size)
    : wxWindow(parent, id, wxDefaultPosition, size, wxFULL_REPAINT_ON_RESIZE),
      m_range(std::max(range, 1)) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    SetMinSize(size);
    Bind(wxEVT_PAINT, &ProgressBar::OnPaint, this);
}

void ProgressBar::SetRange(int range) {
    m_range = std::max(range, 1);
    m_value = std::clamp(m_value, 0, m_range);
    Refresh();
}

void ProgressBar::SetValue(int value) {
    m_value = std::clamp(value, 0, m_range);
    Refresh();
}

void ProgressBar::OnPaint(wxPaintEvent& /*event*/) {
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    dc.SetPen(wxPen(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNSHADOW)));
    dc.SetBrush(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW)));
    dc.DrawRectangle(0, 0, size.x, size.y);
    // 64 bits: a range of a million times a width of a thousand does not fit 32.
    const auto inner = static_cast<long long>(std::max(size.x - 2, 0));
    const auto filled = static_cast<int>(inner * m_value / m_range);
    if (filled > 0 && size.y > 2) {
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.SetBrush(wxBrush(FillColour()));
        dc.DrawRectangle(1, 1, filled, size.y - 2);
    }
}

}  // namespace BexoPatch
