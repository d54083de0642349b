// Helpers of the localization tests: language files in each encoding, a private registry,
// and table dumps to compare.
#pragma once

#include "foundation/filesystem.h"
#include "foundation/platform/file.h"
#include "foundation/platform/registry.h"
#include "foundation/strtools.h"
#include "localize/localizedstringtable.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

inline std::u16string ToU16(const std::string &strUTF8)
{
    std::u16string wstr(strUTF8.size() + 1, 0);
    Q_UTF8ToUnicode(strUTF8.c_str(), &wstr[0], (int)(wstr.size() * sizeof(wchar16)), k_EStringConvertReplace);
    wstr.resize((size_t)Q_wcslen(wstr.c_str()));
    return wstr;
}

inline std::string ToUTF8(const wchar16 *pwch)
{
    if (!pwch)
        return "<null>";
    std::string str((size_t)Q_wcslen(pwch) * 3 + 1, 0);
    Q_UnicodeToUTF8(pwch, &str[0], (int)str.size(), k_EStringConvertReplace);
    str.resize(strlen(str.c_str()));
    return str;
}

inline bool WriteBinaryFile(const std::string &strPath, const std::string &strBytes)
{
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file.write(strBytes.data(), (std::streamsize)strBytes.size());
    return (bool)file;
}

inline std::string ReadBinaryFile(const std::string &strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// UTF-16 little-endian bytes of UTF-8 text.
inline std::string UTF16LEBytes(const std::string &strUTF8)
{
    std::u16string wstr = ToU16(strUTF8);
    std::string strBytes;
    for (char16_t wch : wstr)
    {
        strBytes += (char)(wch & 0xFF);
        strBytes += (char)(wch >> 8);
    }
    return strBytes;
}

enum ETestEncoding
{
    k_ETestUTF8,
    k_ETestUTF8WithMark,
    k_ETestUTF16WithMark,
    k_ETestUTF16,
};

inline std::string EncodeLanguageFile(const std::string &strUTF8, ETestEncoding eEncoding)
{
    switch (eEncoding)
    {
    case k_ETestUTF8:
        return strUTF8;
    case k_ETestUTF8WithMark:
        return "\xEF\xBB\xBF" + strUTF8;
    case k_ETestUTF16WithMark:
        return "\xFF\xFE" + UTF16LEBytes(strUTF8);
    case k_ETestUTF16:
        return UTF16LEBytes(strUTF8);
    }
    return strUTF8;
}

// A language file with the given pairs in its Tokens block (values written as given, so
// they may hold escapes).
inline std::string LanguageFileText(const std::string &strLanguage,
                                    const std::vector<std::pair<std::string, std::string>> &vecPairs)
{
    std::string str = "\"lang\"\n{\n\t\"Language\"\t\"" + strLanguage + "\"\n\t\"Tokens\"\n\t{\n";
    for (const auto &pair : vecPairs)
        str += "\t\t\"" + pair.first + "\"\t\"" + pair.second + "\"\n";
    str += "\t}\n}\n";
    return str;
}

// Every entry as name -> UTF-8 value, in name order.
inline std::vector<std::pair<std::string, std::string>> DumpTable(ILocalize &table)
{
    std::vector<std::pair<std::string, std::string>> vec;
    int c = 0;
    for (LocalizeStringIndex_t i = table.GetFirstStringIndex();
         i != k_nInvalidLocalizeStringIndex && c < 100000; i = table.GetNextStringIndex(i), ++c)
        vec.emplace_back(table.GetNameByIndex(i), ToUTF8(table.GetValueByIndex(i)));
    return vec;
}

inline std::string FindUTF8(ILocalize &table, const char *pchToken)
{
    return ToUTF8(table.FindText(pchToken));
}

// A temporary directory with a private registry ($FERRO_REGISTRY_DIR) and a file system
// whose "MAIN" path is that directory.
class LocalizeFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("FERRO_REGISTRY_DIR", (m_Dir.Path() + "/registry").c_str(), 1);
        m_FileSystem.AddSearchPath(m_Dir.Path().c_str(), "MAIN");
    }
    void TearDown() override { unsetenv("FERRO_REGISTRY_DIR"); }

    static void SetUserLanguage(const char *pchLanguage)
    {
        ASSERT_TRUE(PLAT_RegistryCreateKey(k_EPlatRegistryHiveCurrentUser, "Software\\Quill\\Ferro"));
        ASSERT_TRUE(PLAT_RegistryWriteString(k_EPlatRegistryHiveCurrentUser, "Software\\Quill\\Ferro",
                                             "Language", pchLanguage));
    }
    // Writes a file below the directory (creating "public" when the name has it).
    void WriteFile(const std::string &strRelative, const std::string &strBytes)
    {
        if (strRelative.rfind("public/", 0) == 0)
            PLAT_CreateDirectory(m_Dir.File("public").c_str());
        ASSERT_TRUE(WriteBinaryFile(m_Dir.File(strRelative), strBytes));
    }

    CTempDir m_Dir;
    CFileSystem m_FileSystem;
};
