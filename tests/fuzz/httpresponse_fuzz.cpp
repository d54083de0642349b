// libFuzzer target for the HTTP response parser: whatever a server sends, in whatever
// pieces, must end in a complete response, a refusal or a wait for more, without a crash,
// a hang or a leak; and the outcome must not depend on how the bytes were split.
#include "foundation/dbg.h"
#include "http/http.h"
#include "http/httpresponseparser.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{
struct Outcome_t
{
    CHTTPResponseParser::EResult m_eResult;
    int m_nStatus;
    std::string m_strBody;
};

// Feeds the bytes in pieces of the given size (0: all at once).
Outcome_t Parse(const uint8_t *pubData, size_t cubData, size_t cubPiece, bool bHead)
{
    CHTTPClientResponse *pResponse = new CHTTPClientResponse();
    CHTTPResponseParser parser;
    parser.BeginResponse(bHead, false);
    CHTTPResponseParser::EResult eResult = CHTTPResponseParser::k_EResultNeedMore;
    size_t iPos = 0;
    while (iPos < cubData && eResult == CHTTPResponseParser::k_EResultNeedMore)
    {
        size_t cub = cubPiece ? cubPiece : cubData;
        if (cub > cubData - iPos)
            cub = cubData - iPos;
        eResult = parser.Feed(pubData + iPos, (uint32)cub, pResponse);
        iPos += cub;
    }
    if (eResult == CHTTPResponseParser::k_EResultNeedMore &&
        parser.GetState() == k_EHTTPClientConnectionState_WAITING_BODY_UNTIL_CLOSE)
        eResult = parser.BFinishBodyAtClose(pResponse) ? CHTTPResponseParser::k_EResultComplete
                                                       : CHTTPResponseParser::k_EResultAbort;
    Outcome_t outcome;
    outcome.m_eResult = eResult;
    outcome.m_nStatus = pResponse->GetStatusCode();
    if (eResult == CHTTPResponseParser::k_EResultComplete)
    {
        const CUtlBuffer &buf = pResponse->GetBodyBuffer();
        outcome.m_strBody.assign((const char *)buf.Base(), (size_t)buf.TellPut());
        parser.FinishResponse();
    }
    pResponse->Release();
    return outcome;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pubData, size_t cubData)
{
    static bool s_bQuiet = (SetSpewToStderr(false), true);
    (void)s_bQuiet;
    if (cubData < 1 || cubData > 1 << 20)
        return 0;
    // The first byte chooses the piece size and whether the request was a HEAD.
    const bool bHead = pubData[0] & 0x80;
    const size_t cubPiece = (pubData[0] & 0x7F) + 1;
    Outcome_t whole = Parse(pubData + 1, cubData - 1, 0, bHead);
    Outcome_t pieces = Parse(pubData + 1, cubData - 1, cubPiece, bHead);
    if (whole.m_eResult != pieces.m_eResult || whole.m_nStatus != pieces.m_nStatus ||
        whole.m_strBody != pieces.m_strBody)
        abort();
    return 0;
}
