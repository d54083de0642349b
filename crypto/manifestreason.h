// How the manifest checks say what is wrong with a manifest: one reason, with the names and
// values it quotes made fit for a log line.
#pragma once

#include "foundation/utlstring.h"

#include <string>

// The text in single quotes, control bytes shown as '?', cut after 100 characters ("...").
std::string QuoteManifestText(const char *pch);

// Stores the reason in *pstrReason (when given) and returns false.
bool BFailManifestCheck(CUtlString *pstrReason, const std::string &strReason);
