// LocalAlloc and LocalFree (fixed blocks only). The session keeps the blocks
// that are still allocated, so a test can see that a program freed them all.
#include "handles.h"
#include "session_state.h"

#include <cstdlib>
#include <cstring>

using namespace winsim::win32;

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    // Movable blocks (LMEM_MOVEABLE, 0x2) hand out handles, not pointers; winsim has none.
    if ((uFlags & ~static_cast<UINT>(LPTR)) != 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void *block = std::malloc(uBytes != 0 ? uBytes : 1);
    if (block == nullptr) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (uFlags & LMEM_ZEROINIT)
        memset(block, 0, uBytes);
    SessionState &session = Session::Current();
    std::lock_guard<std::mutex> guard(session.lock);
    session.localBlocks.insert(block);
    return block;
}

// NULL on success; the block itself when it is not one of the session's.
HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    if (hMem == nullptr)
        return nullptr;
    SessionState &session = Session::Current();
    {
        std::lock_guard<std::mutex> guard(session.lock);
        if (session.localBlocks.erase(hMem) == 0) {
            Fail(ERROR_INVALID_HANDLE);
            return hMem;
        }
    }
    std::free(hMem);
    return nullptr;
}

}  // extern "C"
