#include "ferroexe/updatestatusui.h"

#include <atomic>

namespace
{
// Read by the updater thread, written once by the main flow.
std::atomic<IUpdateStatusUI *> g_pUpdateStatusUI{nullptr};
} // namespace

IUpdateStatusUI *GetPUpdateStatusUI()
{
    return g_pUpdateStatusUI.load(std::memory_order_acquire);
}

void SetPUpdateStatusUI(IUpdateStatusUI *pUI)
{
    g_pUpdateStatusUI.store(pUI, std::memory_order_release);
}
