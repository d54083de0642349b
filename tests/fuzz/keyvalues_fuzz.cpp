// libFuzzer target for the KeyValues text reader: any bytes must load (or fail to load)
// without a crash, a hang or a leak, and whatever loaded must write and load again.
#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pubData, size_t cubData)
{
    static bool s_bQuiet = (SetSpewToStderr(false), true);
    (void)s_bQuiet;
    if (cubData > 1 << 20)
        return 0;

    // The loader as the updater uses it: escapes off, a caller-made text buffer.
    for (bool bEscapes : {false, true})
    {
        CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
        buf.Put(pubData, (int)cubData);
        KeyValues *pKV = new KeyValues("fuzz");
        pKV->UsesEscapeSequences(bEscapes);
        CKeyValuesParser parser("fuzz", false);
        pKV->LoadFromBuffer("fuzz", buf, &parser);

        CUtlBuffer bufOut(0, 0, CUtlBuffer::TEXT_BUFFER);
        pKV->WriteAsText(bufOut, true);
        KeyValues *pAgain = new KeyValues("again");
        pAgain->UsesEscapeSequences(bEscapes);
        CKeyValuesParser parserAgain("again", false);
        pAgain->LoadFromBuffer("again", bufOut, &parserAgain);
        pAgain->DeleteThis();
        pKV->DeleteThis();
    }

    // The tokenizer as the localization loader uses it: escapes on, over a read-only buffer.
    if (cubData > 0)
    {
        CUtlBuffer buf(pubData, (int)cubData, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
        CKeyValuesParser parser("tokens", false);
        bool bWasQuoted, bWasConditional;
        // Like the loaders, stop at the end or at an empty unquoted token (a NUL byte).
        const char *pchToken;
        while ((pchToken = KeyValues::ReadToken(buf, bWasQuoted, true, parser, bWasConditional)) != nullptr &&
               (*pchToken || bWasQuoted))
        {
            if (bWasConditional)
                KeyValues::EvaluateConditional(pchToken);
        }
    }

    std::string strExpression((const char *)pubData, cubData);
    KeyValues::EvaluateConditional(strExpression.c_str());
    return 0;
}
