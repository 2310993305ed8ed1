// Memory descriptor lists. winsim has one address space, so an MDL describes
// the caller's buffer directly and "mapping" it gives back the same address.
#include "internal.h"

namespace winsim {
namespace {
constexpr ULONG kMdlTag = 0x644D6F49;  // 'IoMd'
}
}  // namespace winsim

using namespace winsim;

extern "C" {

SIZE_T MmSizeOfMdl(PVOID base, SIZE_T length)
{
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(base);
    SIZE_T pages = ((start & (PAGE_SIZE - 1)) + length + PAGE_SIZE - 1) >> PAGE_SHIFT;
    return sizeof(MDL) + pages * sizeof(ULONG_PTR);
}

PMDL IoAllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, BOOLEAN chargeQuota, PIRP irp)
{
    const void *caller = __builtin_return_address(0);
    if (ShouldFailAllocation("IoAllocateMdl", caller))
        return nullptr;
    SIZE_T size = MmSizeOfMdl(va, length);
    auto *mdl = static_cast<PMDL>(PoolAllocate(NonPagedPoolNx, size, kMdlTag, caller, nullptr));
    memset(mdl, 0, size);
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(va);
    mdl->Size = static_cast<CSHORT>(size);
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
    mdl->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
    mdl->ByteCount = length;
    if (irp != nullptr) {
        if (!secondary) {
            irp->MdlAddress = mdl;
        } else {
            PMDL last = irp->MdlAddress;
            while (last != nullptr && last->Next != nullptr)
                last = last->Next;
            if (last == nullptr)
                irp->MdlAddress = mdl;
            else
                last->Next = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL mdl) { PoolFree(mdl, kMdlTag, true, __builtin_return_address(0)); }

VOID MmBuildMdlForNonPagedPool(PMDL mdl)
{
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) { mdl->MdlFlags |= MDL_PAGES_LOCKED; }

VOID MmUnlockPages(PMDL mdl) { mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA); }

PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE cache, PVOID requested,
                                   ULONG bugCheckOnFailure, ULONG priority)
{
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID base, PMDL mdl) { mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA; }

VOID IoBuildPartialMdl(PMDL source, PMDL target, PVOID va, ULONG length)
{
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(va);
    if (length == 0)
        length = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(source)) + source->ByteCount - address);
    target->StartVa = reinterpret_cast<PVOID>(address & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
    target->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
    target->ByteCount = length;
    target->MdlFlags = MDL_PARTIAL | (source->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    target->MappedSystemVa = va;
    if (source->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        target->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
}

}  // extern "C"
