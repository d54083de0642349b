// libFuzzer target for the localization loader: any file, 8-bit or UTF-16, must load without
// a crash, a hang or a leak; every text it yields must expand (by variables and by position),
// save and load again.
#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/platform/file.h"
#include "foundation/platform/process.h"
#include "localize/localizedstringtable.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{
std::string TempPath(const char *pchName)
{
    const char *pchTemp = getenv("TMPDIR");
    return std::string(pchTemp && *pchTemp ? pchTemp : "/tmp") + "/localize_fuzz_" +
           std::to_string(PLAT_GetCurrentProcessId()) + "_" + pchName;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pubData, size_t cubData)
{
    static bool s_bQuiet = (SetSpewToStderr(false), true);
    (void)s_bQuiet;
    if (cubData > 1 << 20)
        return 0;

    // The name marks the file as English so that "[english]" keys are stored too.
    const std::string strFile = TempPath("in_english.txt");
    FILE *pFile = PLAT_fopen(strFile.c_str(), "wb");
    if (!pFile)
        return 0;
    fwrite(pubData, 1, cubData, pFile);
    fclose(pFile);

    CLocalizedStringTable table;
    table.AddFile(nullptr, strFile.c_str());

    KeyValues *pVars = new KeyValues("locvars");
    pVars->SetString("appname", "Arvo Launcher");
    pVars->SetInt("n", 100);
    wchar16 rgwchOut[1024];
    char rgchOut[2048];
    int c = 0;
    for (LocalizeStringIndex_t i = table.GetFirstStringIndex();
         i != k_nInvalidLocalizeStringIndex && c < 4096; i = table.GetNextStringIndex(i), ++c)
    {
        table.ConstructString(rgwchOut, sizeof(rgwchOut), i, pVars);
        table.ConvertUnicodeToUTF8(rgwchOut, rgchOut, sizeof(rgchOut));
        table.ConstructString(rgwchOut, 10, i, pVars);
        table.ConstructString(rgwchOut, sizeof(rgwchOut), table.GetValueByIndex(i), 2, u"one", u"two");
        table.ConstructString(rgwchOut, 12, table.GetValueByIndex(i), 1, u"one");
        table.FindAsUTF8(table.GetNameByIndex(i));
    }
    pVars->DeleteThis();

    if (table.SaveToFile(strFile.c_str()))
    {
        CLocalizedStringTable tableAgain;
        tableAgain.AddFile(nullptr, strFile.c_str());
    }
    PLAT_DeleteFile(strFile.c_str());
    return 0;
}
