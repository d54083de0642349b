#include "ferroexe/windowlayout.h"

#include <vector>

namespace
{
const char16_t k_rgwchEllipsis[] = u"...";

bool BIsDigit(char16_t wch)
{
    return wch >= u'0' && wch <= u'9';
}

// Group and decimal separators that may stand between the digits of one number.
bool BIsNumberSeparator(char16_t wch)
{
    return wch == u',' || wch == u'.' || wch == u'\'' || wch == 0x00A0 || wch == 0x202F;
}

bool BIsSpace(char16_t wch)
{
    return wch == u' ' || wch == u'\t' || wch == u'\n' || wch == 0x00A0 || wch == 0x3000;
}

// Whether a cut before position i would split a number: digits on both sides, or a
// separator between digits on one side.
bool BCutsNumber(const std::u16string &str, size_t i)
{
    if (i == 0 || i >= str.size())
        return false;
    auto BNumberAt = [&](size_t j, int nTowards)
    {
        if (BIsDigit(str[j]))
            return true;
        if (!BIsNumberSeparator(str[j]))
            return false;
        size_t k = nTowards < 0 ? j - 1 : j + 1;
        return (nTowards < 0 ? j > 0 : k < str.size()) && BIsDigit(str[k]);
    };
    return BNumberAt(i - 1, -1) && BNumberAt(i, +1);
}

bool BSplitsPair(const std::u16string &str, size_t i)
{
    return i > 0 && i < str.size() && str[i - 1] >= 0xD800 && str[i - 1] <= 0xDBFF;
}

// The longest candidate cut (index into vecCuts) whose text fits, or -1.
int LongestFitting(const std::u16string &strText, const std::vector<size_t> &vecCuts,
                   const std::function<bool(const std::u16string &)> &fnFits)
{
    int iLow = 0, iHigh = (int)vecCuts.size() - 1, iBest = -1;
    while (iLow <= iHigh)
    {
        int iMid = (iLow + iHigh) / 2;
        if (fnFits(strText.substr(0, vecCuts[(size_t)iMid]) + k_rgwchEllipsis))
        {
            iBest = iMid;
            iLow = iMid + 1;
        }
        else
        {
            iHigh = iMid - 1;
        }
    }
    return iBest;
}
} // namespace

int ScaleWindowLength(int nLength, double flScale)
{
    double fl = nLength * flScale;
    return (int)(fl >= 0 ? fl + 0.5 : fl - 0.5);
}

WindowLayout_t ComputeWindowLayout(double flScale, int cStatusLines, int nLineHeight)
{
    if (flScale <= 0)
        flScale = 1.0;
    if (cStatusLines < 1)
        cStatusLines = 1;
    if (cStatusLines > k_cMaxStatusLines)
        cStatusLines = k_cMaxStatusLines;
    auto Rect = [&](int x, int y, int nWidth, int nHeight)
    {
        WindowRect_t rect;
        rect.x = ScaleWindowLength(x, flScale);
        rect.y = ScaleWindowLength(y, flScale);
        rect.nWidth = ScaleWindowLength(nWidth, flScale);
        rect.nHeight = ScaleWindowLength(nHeight, flScale);
        return rect;
    };
    WindowLayout_t layout;
    layout.nWindowWidth = ScaleWindowLength(400, flScale);
    layout.nWindowHeight = ScaleWindowLength(129, flScale);
    layout.heading = Rect(15, 15, 365, 25);
    layout.progress = Rect(15, 40, 365, 14);
    layout.cancel = Rect(305, 64, 75, 25);
    layout.status = Rect(15, 64, 270, 25);
    // The one-line label holds a line with room to spare; more lines make it (and the
    // window) as much taller as they need beyond that.
    int nNeeded = cStatusLines * nLineHeight;
    if (cStatusLines > 1 && nNeeded > layout.status.nHeight)
    {
        layout.nWindowHeight += nNeeded - layout.status.nHeight;
        layout.status.nHeight = nNeeded;
    }
    return layout;
}

std::u16string FitWindowText(const std::u16string &strText,
                             const std::function<bool(const std::u16string &)> &fnFits)
{
    if (fnFits(strText))
        return strText;

    // Cuts before a space (after the word it ends), shortest first.
    std::vector<size_t> vecWordCuts;
    for (size_t i = 1; i < strText.size(); ++i)
    {
        if (BIsSpace(strText[i]) && !BIsSpace(strText[i - 1]))
            vecWordCuts.push_back(i);
    }
    int iBest = LongestFitting(strText, vecWordCuts, fnFits);
    if (iBest >= 0)
        return strText.substr(0, vecWordCuts[(size_t)iBest]) + k_rgwchEllipsis;

    // No word fits whole: cut anywhere but inside a number or a character.
    std::vector<size_t> vecCuts;
    for (size_t i = 1; i < strText.size(); ++i)
    {
        if (!BCutsNumber(strText, i) && !BSplitsPair(strText, i))
            vecCuts.push_back(i);
    }
    iBest = LongestFitting(strText, vecCuts, fnFits);
    if (iBest >= 0)
        return strText.substr(0, vecCuts[(size_t)iBest]) + k_rgwchEllipsis;
    return k_rgwchEllipsis;
}
