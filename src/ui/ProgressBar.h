// The window's gauge, drawn by the program itself: a framed bar filled from the left in
// proportion to value / range. GTK themes draw their own progress bar as thin as a few
// pixels whatever size it is given; this one is as tall as its place.
#pragma once

#include <wx/window.h>

namespace BexoPatch {

class ProgressBar : public wxWindow {
public:
    ProgressBar(wxWindow* parent, wxWindowID id, int range, const wxSize& size);

    // A range below 1 counts as 1; the value is kept within 0 and the range.
    void SetRange(int range);
    void SetValue(int value);
    int GetRange() const { return m_range; }
    int GetValue() const { return m_value; }

    // The fill's colour, fixed so that the bar reads the same under every theme.
    static wxColour FillColour() { return {0, 120, 215}; }

private:
    void OnPaint(wxPaintEvent& event);

    int m_range;
    int m_value = 0;
};

}  // namespace BexoPatch
