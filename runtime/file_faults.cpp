// Fault injection for the file services: a budget of bytes that may still be
// written, one of bytes that may still be read, and a close that fails, set
// by tests and by the tool's TESSEL_FAULTS. Every kind of file spends from
// the same budgets.
#include "runtime/host_file.h"

#include <algorithm>
#include <limits>

namespace tessel::runtime {
namespace {

// A fault budget of this many bytes never runs out: no fault is injected.
constexpr std::int64_t UNLIMITED_BYTES = std::numeric_limits<std::int64_t>::max();

// Bytes that may still be written before the injected write fault fires.
std::int64_t g_writeBudget = UNLIMITED_BYTES;
// Bytes that may still be fetched for reading before the injected read fault
// fires.
std::int64_t g_readBudget = UNLIMITED_BYTES;

}  // namespace

bool g_failClose = false;

bool TakeWriteBudget(std::int64_t n, std::int64_t* allowed)
{
    if (n <= g_writeBudget) {
        if (g_writeBudget != UNLIMITED_BYTES)
            g_writeBudget -= n;
        *allowed = n;
        return true;
    }
    *allowed = g_writeBudget;
    g_writeBudget = 0;
    return false;
}

std::int64_t ReadAllowance(std::int64_t n)
{
    return std::min(n, g_readBudget);
}

void SpendReadBudget(std::int64_t n)
{
    if (g_readBudget != UNLIMITED_BYTES)
        g_readBudget -= n;
}

void SetFileFaults(const FileFaults& faults)
{
    g_writeBudget = faults.failWritesAfterBytes < 0 ? UNLIMITED_BYTES : faults.failWritesAfterBytes;
    g_failClose = faults.failClose;
    g_readBudget = faults.failReadsAfterBytes < 0 ? UNLIMITED_BYTES : faults.failReadsAfterBytes;
}

void ClearFileFaults()
{
    SetFileFaults(FileFaults{});
}

}  // namespace tessel::runtime
