// Executive pool. Every block carries a header (tag, size, type, owner) and
// guard bytes after it, so a wrong tag, a double free or an overrun stops the
// machine, and what a driver still holds when it unloads is a leak of it.
#include "internal.h"
#include "machine.h"

#include <cstdlib>
#include <unordered_map>

namespace winsim {
namespace {

constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xFD;
constexpr unsigned char kNewFill = 0xC5;  // fresh pool is not zeroed

struct Block {
    POOL_TYPE type;
    SIZE_T bytes;
    ULONG tag;
    const void *caller;
    const Module *module;
};

std::mutex g_poolLock;
std::unordered_map<void *, Block> g_blocks;

std::string TagText(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; i++) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

bool GuardIntact(void *p, SIZE_T bytes)
{
    auto *guard = static_cast<unsigned char *>(p) + bytes;
    for (size_t i = 0; i < kGuardBytes; i++)
        if (guard[i] != kGuardFill)
            return false;
    return true;
}

}  // namespace

void *PoolAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *caller, const char *site)
{
    if (site != nullptr && ShouldFailAllocation(site, caller))
        return nullptr;
    if (type == PagedPool && CurrentThread().irql > APC_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "paged pool allocated at DISPATCH_LEVEL or above", caller);
    if (bytes == 0)
        BugCheck("BAD_POOL_CALLER", "pool allocation of zero bytes", caller);
    auto *p = static_cast<unsigned char *>(aligned_alloc(16, (bytes + kGuardBytes + 15) / 16 * 16));
    if (p == nullptr)
        return nullptr;
    memset(p, kNewFill, bytes);
    memset(p + bytes, kGuardFill, kGuardBytes);
    std::lock_guard<std::mutex> lock(g_poolLock);
    g_blocks[p] = Block{type, bytes, tag, caller, ModuleFromAddress(caller)};
    return p;
}

void PoolFree(void *p, ULONG tag, bool checkTag, const void *caller)
{
    if (p == nullptr)
        BugCheck("BAD_POOL_CALLER", "ExFreePool of a NULL pointer", caller);
    Block block;
    {
        std::lock_guard<std::mutex> lock(g_poolLock);
        auto it = g_blocks.find(p);
        if (it == g_blocks.end())
            BugCheck("BAD_POOL_CALLER", "free of " + Hex(p) + ", which is not an allocated pool block (double free?)",
                     caller);
        block = it->second;
        if (checkTag && block.tag != tag)
            BugCheck("BAD_POOL_CALLER",
                     "free of " + Hex(p) + " with tag '" + TagText(tag) + "'; it was allocated with tag '" +
                         TagText(block.tag) + "'",
                     caller);
        if (block.type == PagedPool && CurrentThread().irql > APC_LEVEL)
            BugCheck("IRQL_NOT_LESS_OR_EQUAL", "paged pool freed at DISPATCH_LEVEL or above", caller);
        if (!GuardIntact(p, block.bytes))
            BugCheck("POOL_OVERRUN",
                     "pool block " + Hex(p) + " ('" + TagText(block.tag) + "', " + std::to_string(block.bytes) +
                         " bytes, from " + DescribeAddress(block.caller) + ") was written past its end",
                     caller);
        g_blocks.erase(it);
    }
    CheckMemoryRelease(p, block.bytes, caller, "pool block");
    memset(p, 0xDD, block.bytes);
    free(p);
}

void CheckMemoryRelease(const void *begin, size_t bytes, const void *caller, const char *what)
{
    DpcCheckMemory(begin, bytes, caller);
}

std::vector<PoolLeak> PoolLeaksOf(const Module *module)
{
    std::vector<PoolLeak> leaks;
    std::lock_guard<std::mutex> lock(g_poolLock);
    for (auto &[p, block] : g_blocks)
        if (module == nullptr || block.module == module)
            leaks.push_back(PoolLeak{block.module ? block.module->name : "winsim", block.tag, block.bytes,
                                     DescribeAddress(block.caller)});
    return leaks;
}

std::string PoolTagText(ULONG tag) { return TagText(tag); }

}  // namespace winsim

using namespace winsim;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    return PoolAllocate(type, bytes, tag, __builtin_return_address(0), "ExAllocatePoolWithTag");
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes)
{
    return PoolAllocate(type, bytes, 0x656E6F4E /* 'None' */, __builtin_return_address(0), "ExAllocatePool");
}

VOID ExFreePoolWithTag(PVOID p, ULONG tag) { PoolFree(p, tag, true, __builtin_return_address(0)); }

VOID ExFreePool(PVOID p) { PoolFree(p, 0, false, __builtin_return_address(0)); }

}  // extern "C"
