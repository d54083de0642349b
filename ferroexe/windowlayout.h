// What both window backends agree on: where the controls go at a given DPI scale and with a
// status text of one or two lines, and how a text that does not fit its place is cut.
//
// The layout at 96 DPI, in pixels of the window's client area: heading at 15,15 (365 x 25),
// progress bar at 15,40 (365 x 14), Cancel at 305,64 (75 x 25), status text at 15,64
// (270 x 25), window 400 x 129. A status text that needs two lines makes its label and
// the window taller by what the second line needs; nothing else moves.
#pragma once

#include "foundation/basetypes.h"

#include <functional>
#include <string>

struct WindowRect_t
{
    int x = 0;
    int y = 0;
    int nWidth = 0;
    int nHeight = 0;
};

struct WindowLayout_t
{
    int nWindowWidth = 0;
    int nWindowHeight = 0;
    WindowRect_t heading;
    WindowRect_t progress;
    WindowRect_t cancel;
    WindowRect_t status;
};

// At most this many lines of status text; beyond them the text is cut.
constexpr int k_cMaxStatusLines = 2;
// The controls' font height at 96 DPI, in pixels.
constexpr int k_nWindowFontPixels = 12;

// The layout at flScale (1.0 at 96 DPI, 1.5 at 144) for a status text of cStatusLines
// lines (clamped to 1..k_cMaxStatusLines), each nLineHeight pixels high (already scaled).
WindowLayout_t ComputeWindowLayout(double flScale, int cStatusLines, int nLineHeight);

// Scales a length at 96 DPI, rounding to the nearest pixel.
int ScaleWindowLength(int nLength, double flScale);

// Cuts a text so that fnFits accepts it. The whole text when it fits; otherwise the longest
// start of it that ends before a space, followed by "..."; in a text with no such start
// that fits, the longest start that does not end inside a number ("54,5|25") or a surrogate
// pair, followed by "..."; "..." when nothing fits. fnFits must accept every start of a
// text it accepts.
std::u16string FitWindowText(const std::u16string &strText,
                             const std::function<bool(const std::u16string &)> &fnFits);
