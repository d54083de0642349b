// File-name wildcards as directory listings take them: "*" matches any run of characters,
// "?" exactly one, everything else itself without regard to ASCII case. Both platform file
// layers filter their listings through this one matcher, so a wildcard selects the same
// names everywhere (Windows' own matching also accepts 8.3 short names and a few DOS
// rules, such as "*.zip.*" selecting "a.zip", that the launcher never relies on).
#pragma once

// True when the whole name matches the whole pattern. A null pattern matches every name.
bool BFileNameMatchesWildcard(const char *pchPattern, const char *pchName);
