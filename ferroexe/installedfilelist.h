// The installed file list: one line per file that the installed packages put into the
// install directory, "path,size[,sha256[,package]]":
//
//   path     the archive item's name in lower case, relative to the install directory
//   size     its size after installation, signed decimal; -1 for a directory item
//   sha256   the SHA-256 of the bytes as they were extracted, 64 lower-case hex digits
//            (empty where it is not known: a directory, a file left in place)
//   package  the name of the manifest package that installed it
//
// Readers that know only the first two fields read the rest as an ignored third field,
// so lists written with hashes still verify with older launchers, and lists without them
// (written by older launchers) read here with the content unknown.
#pragma once

#include "foundation/basetypes.h"

#include <cstdio>
#include <string>

// Lines longer than this are not read as entries (a path is at most 259 characters; the
// other fields add less than 200).
const size_t k_cchMaxInstalledListLine = 4095;

struct InstalledFile_t
{
    std::string m_strPath;
    // The size field as read (with the line end when it is the last field), for messages.
    std::string m_strSizeField;
    // The size field as a signed decimal (leading white space skipped, stops at the first
    // character that is not a digit).
    int64 m_llSize = 0;
    // Lower-case hex digits; empty when the line has none or one that is not a digest.
    std::string m_strSHA256;
    std::string m_strPackage;

    // A directory item: its path ends in a separator or its size is -1.
    bool BIsDirectoryItem() const;
};

// One file however a list spells it: lower case, '/' only, no leading "./".
std::string InstalledFileKey(const std::string &strPath);

// A list field without its trailing line end ("\n", "\r\n", or a lone "\r").
std::string WithoutLineEnd(std::string str);

// The line for a file, with its "\n".
std::string FormatInstalledFileLine(const std::string &strPath, int64 llSize, const std::string &strSHA256,
                                    const std::string &strPackage);

// Reads a list line by line (text mode). Owned by one thread.
class CInstalledFileListReader
{
public:
    enum ELine
    {
        k_ELineEnd,       // no more lines
        k_ELineEntry,     // *pFile holds the line's fields
        k_ELineMalformed, // no comma, or longer than k_cchMaxInstalledListLine
    };

    explicit CInstalledFileListReader(const char *pchPath);
    ~CInstalledFileListReader();
    CInstalledFileListReader(const CInstalledFileListReader &) = delete;
    CInstalledFileListReader &operator=(const CInstalledFileListReader &) = delete;

    bool BIsOpen() const { return m_pFile != nullptr; }
    // The next line: its fields in *pFile and the line as read (with its line end; a
    // line that is too long is cut) in *pstrLine.
    ELine Next(InstalledFile_t *pFile, std::string *pstrLine);

private:
    FILE *m_pFile;
};
