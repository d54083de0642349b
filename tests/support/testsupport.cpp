#include "testsupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace
{
CSpewCapture *g_pActiveCapture = nullptr;
}

CSpewCapture::CSpewCapture(bool bQuiet)
{
    g_pActiveCapture = this;
    m_pfnPrevious = SetSpewHook(&CSpewCapture::Hook);
    if (bQuiet)
        SetSpewToStderr(false);
}

CSpewCapture::~CSpewCapture()
{
    SetSpewHook(m_pfnPrevious);
    SetSpewToStderr(true);
    g_pActiveCapture = nullptr;
}

void CSpewCapture::Hook(ESpewType eType, const char *, int, const char *pchText)
{
    CSpewCapture *pThis = g_pActiveCapture;
    if (!pThis)
        return;
    std::lock_guard<std::mutex> lock(pThis->m_Mutex);
    pThis->m_vecTexts.emplace_back(eType, pchText);
}

std::vector<std::string> CSpewCapture::Texts()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<std::string> vec;
    for (auto &entry : m_vecTexts)
        vec.push_back(entry.second);
    return vec;
}

std::vector<std::string> CSpewCapture::Assertions()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<std::string> vec;
    for (auto &entry : m_vecTexts)
    {
        if (entry.first == k_ESpewAssert)
            vec.push_back(entry.second);
    }
    return vec;
}

bool CSpewCapture::BContains(const std::string &strPiece)
{
    return CountContaining(strPiece) > 0;
}

int CSpewCapture::CountContaining(const std::string &strPiece)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    int n = 0;
    for (auto &entry : m_vecTexts)
    {
        if (entry.second.find(strPiece) != std::string::npos)
            ++n;
    }
    return n;
}

void CSpewCapture::Clear()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_vecTexts.clear();
}

CTempDir::CTempDir()
{
    // A name nobody holds yet, made here (mkdtemp is POSIX only); bounded tries.
    std::random_device random;
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    for (int nTry = 0; nTry < 100 && m_strPath.empty(); ++nTry)
    {
        char rgchName[32];
        snprintf(rgchName, sizeof(rgchName), "ferrotest-%08x", (unsigned)random());
        std::filesystem::path path = base / rgchName;
        if (std::filesystem::create_directory(path, ec))
            m_strPath = path.generic_string();
    }
}

CTempDir::~CTempDir()
{
    if (!m_strPath.empty())
    {
        std::error_code ec;
        // Tests make files read-only; give them back so that the tree can go.
        for (auto &entry : std::filesystem::recursive_directory_iterator(m_strPath, ec))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_strPath, ec);
    }
}

bool WriteTextFile(const std::string &strPath, const std::string &strContent)
{
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out << strContent;
    return (bool)out;
}

std::string ReadTextFile(const std::string &strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string TextModeFile(const std::string &strText)
{
#ifdef _WIN32
    std::string strOnDisk;
    for (char ch : strText)
    {
        if (ch == '\n')
            strOnDisk += '\r';
        strOnDisk += ch;
    }
    return strOnDisk;
#else
    return strText;
#endif
}

bool BWaitUntil(const std::function<bool()> &fnCondition, uint32 unMaxMilliseconds,
                const std::function<bool()> &fnStep)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(unMaxMilliseconds);
    while (!fnCondition())
    {
        if (std::chrono::steady_clock::now() > end)
            return fnCondition();
        if (!fnStep || !fnStep())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
