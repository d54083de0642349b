// The headers of a received response: names and values in the order first received, found
// by name without regard to ASCII case, the spelling first received kept.
//
// A response may carry up to 2 MiB of header lines, all from the peer, so every operation
// but removal costs the same whatever the number of headers: a hash index finds a name,
// and a repeated header's value grows by appending (amortised), not by copying the joined
// text anew. Names are not interned anywhere (the KeyValues name pool would keep them for
// the life of the process).
//
// Not synchronized: one thread at a time (the main thread while the response is received).
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

class CHTTPHeaderStore
{
public:
    // The value of the header, or null when there is none. Valid until the store changes.
    const char *Get(const char *pchName) const;
    // Replaces the value of an existing header in place, or appends the header.
    void Set(const char *pchName, const char *pchValue);
    // A received header: a repeated one gets "," and the new value appended.
    void AddReceived(const char *pchName, const char *pchValue);
    // Removes the header; false when there is none. Costs a pass over the headers.
    bool Remove(const char *pchName);
    void Clear();

    int Count() const { return (int)m_vecHeaders.size(); }
    const char *Name(int i) const { return m_vecHeaders[(size_t)i].m_strName.c_str(); }
    const char *Value(int i) const { return m_vecHeaders[(size_t)i].m_strValue.c_str(); }

private:
    struct Header_t
    {
        std::string m_strName;
        std::string m_strValue;
    };
    // The index of the header, or -1.
    int Find(const char *pchName) const;

    std::vector<Header_t> m_vecHeaders;
    // Lower-case name -> position in m_vecHeaders.
    std::unordered_map<std::string, size_t> m_mapIndex;
};
