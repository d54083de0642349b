// ferro-kv: loads KeyValues text files the way the launcher does and prints, queries or
// checks them.
//
//   ferro-kv print FILE [--cond NAME=0|1]...   the loaded tree, as the writer writes it
//   ferro-kv get FILE PATH                     the string value of the key at PATH
//   ferro-kv check FILE...                     "FILE: ok" or the loader's error reports
//
// Exit codes: 0 success, 1 load errors (print, check) or no such key (get), 2 bad
// arguments or a file that cannot be read.
#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
const int k_nExitOk = 0;
const int k_nExitFailed = 1;
const int k_nExitUsage = 2;

int Usage()
{
    fprintf(stderr, "usage: ferro-kv print FILE [--cond NAME=0|1]...\n"
                    "       ferro-kv get FILE PATH\n"
                    "       ferro-kv check FILE...\n");
    return k_nExitUsage;
}

enum ELoadResult
{
    k_ELoadOk,
    k_ELoadErrors,
    k_ELoadUnreadable,
};

// Loads the file into a new tree (*ppKV, owned by the caller, also after errors).
ELoadResult LoadFile(const char *pchFile, CKeyValuesParser &parser, KeyValues **ppKV)
{
    *ppKV = nullptr;
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    if (!LoadFileIntoBuffer(pchFile, buf, true))
        return k_ELoadUnreadable;
    *ppKV = new KeyValues("");
    return (*ppKV)->LoadFromBuffer(pchFile, buf, &parser) ? k_ELoadOk : k_ELoadErrors;
}

int Print(int argc, char **argv)
{
    if (argc < 3)
        return Usage();
    const char *pchFile = argv[2];
    for (int i = 3; i < argc; ++i)
    {
        const char *pchAssignment = (i + 1 < argc && !strcmp(argv[i], "--cond")) ? argv[++i] : nullptr;
        const char *pchEquals = pchAssignment ? strchr(pchAssignment, '=') : nullptr;
        if (!pchEquals || pchEquals == pchAssignment || (strcmp(pchEquals, "=0") && strcmp(pchEquals, "=1")))
            return Usage();
        std::string strName(pchAssignment, (size_t)(pchEquals - pchAssignment));
        KeyValuesSystem()->SetConditional(strName.c_str(), pchEquals[1] == '1');
    }

    CKeyValuesParser parser(pchFile, true);
    KeyValues *pKV = nullptr;
    ELoadResult eResult = LoadFile(pchFile, parser, &pKV);
    if (eResult == k_ELoadUnreadable)
    {
        fprintf(stderr, "ferro-kv: cannot read %s\n", pchFile);
        return k_nExitUsage;
    }
    CUtlBuffer bufOut(0, 0, CUtlBuffer::TEXT_BUFFER);
    pKV->WriteAsText(bufOut, true);
    fwrite(bufOut.Base(), 1, (size_t)bufOut.TellMaxPut(), stdout);
    fflush(stdout);
    pKV->DeleteThis();
    return eResult == k_ELoadOk ? k_nExitOk : k_nExitFailed;
}

int Get(int argc, char **argv)
{
    if (argc != 4)
        return Usage();
    const char *pchFile = argv[2];
    CKeyValuesParser parser(pchFile, true);
    KeyValues *pKV = nullptr;
    if (LoadFile(pchFile, parser, &pKV) == k_ELoadUnreadable)
    {
        fprintf(stderr, "ferro-kv: cannot read %s\n", pchFile);
        return k_nExitUsage;
    }
    KeyValues *pKey = pKV->FindKey(argv[3]);
    if (pKey)
        printf("%s\n", pKey->GetString());
    fflush(stdout);
    pKV->DeleteThis();
    return pKey ? k_nExitOk : k_nExitFailed;
}

int Check(int argc, char **argv)
{
    if (argc < 3)
        return Usage();
    int nExit = k_nExitOk;
    for (int i = 2; i < argc; ++i)
    {
        const char *pchFile = argv[i];
        CKeyValuesParser parser(pchFile, false);
        KeyValues *pKV = nullptr;
        switch (LoadFile(pchFile, parser, &pKV))
        {
        case k_ELoadOk:
            printf("%s: ok\n", pchFile);
            break;
        case k_ELoadErrors:
            fputs(parser.GetErrorText(), stdout);
            if (nExit == k_nExitOk)
                nExit = k_nExitFailed;
            break;
        case k_ELoadUnreadable:
            printf("%s: cannot read file\n", pchFile);
            nExit = k_nExitUsage;
            break;
        }
        if (pKV)
            pKV->DeleteThis();
    }
    fflush(stdout);
    return nExit;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    if (!strcmp(argv[1], "print"))
        return Print(argc, argv);
    if (!strcmp(argv[1], "get"))
        return Get(argc, argv);
    if (!strcmp(argv[1], "check"))
        return Check(argc, argv);
    return Usage();
}
