#include "ferroexe/bootstrapperversion.h"

#include <atomic>

namespace
{
// Written by the updater's constructor, read by any thread of the client.
std::atomic<uint64> g_ulBootstrapperVersion{0};
} // namespace

void SetBootstrapperVersion(uint64 ulVersion)
{
    g_ulBootstrapperVersion.store(ulVersion);
}

FERRO_EXPORT uint64 GetBootstrapperVersion()
{
    return g_ulBootstrapperVersion.load();
}
