#include "publishfile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

bool BReadWholeFile(const std::string &strPath, std::string *pstrContent)
{
    std::ifstream in(strPath, std::ios::binary);
    if (!in)
        return false;
    pstrContent->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool BWriteFileAtomically(const std::string &strPath, const std::string &strContent, std::string *pstrError)
{
    std::filesystem::path path(strPath);
    std::string strTemp = (path.parent_path() / ("." + path.filename().string() + ".tmp")).string();
    FILE *pFile = fopen(strTemp.c_str(), "wb");
    if (!pFile)
    {
        *pstrError = "cannot create " + strTemp;
        return false;
    }
    bool bOk = fwrite(strContent.data(), 1, strContent.size(), pFile) == strContent.size();
    bOk = fclose(pFile) == 0 && bOk;
    std::error_code ec;
    if (bOk)
        std::filesystem::rename(strTemp, strPath, ec);
    if (!bOk || ec)
    {
        std::filesystem::remove(strTemp, ec);
        *pstrError = "cannot write " + strPath;
        return false;
    }
    return true;
}
