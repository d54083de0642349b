// The bootstrapper version: the "version" of the installed manifest, which the updater reads
// when it is constructed; 0 until then and when the installed manifest has none. The
// client reads it through the export; the crash handler registration reports it.
#pragma once

#include "clientapi/exports.h" // GetBootstrapperVersion
#include "foundation/basetypes.h"

void SetBootstrapperVersion(uint64 ulVersion);
