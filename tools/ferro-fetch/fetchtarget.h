// What ferro-fetch checks before it sends a URL, and how it stores a body: the URL forms
// the launcher's client can fetch, the file name a URL gives, and a write that never
// leaves a half-written file under that name.
#pragma once

#include "foundation/basetypes.h"

#include <cstdio>
#include <string>

// Checks an http URL ("http://host[:port][/path][?query][#fragment]") and gives the form
// the client parses (the fragment dropped, "/" as the path when there is none). False
// with a reason for anything else: no scheme, another scheme, an empty host, user
// information, an IPv6 literal, a port that is not 1 to 65535.
bool BCheckFetchURL(const std::string &strURL, std::string *pstrRequestURL, std::string *pstrReason);

// The last path segment of the URL as a file name. False with a reason when there is none
// or it could leave the directory or name something else ("", ".", "..", backslashes,
// colons, control characters).
bool BFileNameFromURL(const std::string &strRequestURL, std::string *pstrFileName, std::string *pstrReason);

// A body written to DIR/NAME as it arrives: into a temporary file in DIR, which is renamed
// over the final name only once the whole body is there. Whatever fails, the final name
// is left as it was and the temporary file removed.
class CFetchOutputFile
{
public:
    CFetchOutputFile(const std::string &strDir, const std::string &strFileName);
    // Removes the temporary file unless it was committed.
    ~CFetchOutputFile();
    CFetchOutputFile(const CFetchOutputFile &) = delete;
    CFetchOutputFile &operator=(const CFetchOutputFile &) = delete;

    // The body so far (cubBody bytes at pubBody): writes what was not written yet. A body
    // shorter than what was written (the response started over) is written anew. False
    // with a reason when the file cannot be written (and from then on).
    bool BWriteBodySoFar(const uint8 *pubBody, uint64 cubBody, std::string *pstrReason);
    // The whole body is written: the file takes its final name.
    bool BCommit(std::string *pstrReason);
    uint64 GetBytesWritten() const { return m_cubWritten; }

private:
    void Discard();

    std::string m_strFinal;
    std::string m_strTemp;
    FILE *m_pFile;
    uint64 m_cubWritten;
    bool m_bFailed;
    bool m_bCommitted;
};
