// Tear-free, race-free access to the extension fields that dispatch routines,
// the receive worker and the DPC share without holding a lock: the state
// flags, the receive count and error bits, and the settings the data path
// reads while an application may change them.
//
// Every access is sequentially consistent. Close and the pipe teardown rely on
// that: each side stores its own flag and then loads the other side's, and at
// least one of them must see the other.
#pragma once

#include <ntddk.h>

inline BOOLEAN SerialReadFlag(const BOOLEAN *Flag)
{
    return __atomic_load_n(Flag, __ATOMIC_SEQ_CST);
}

inline VOID SerialWriteFlag(BOOLEAN *Flag, BOOLEAN Value)
{
    __atomic_store_n(Flag, Value, __ATOMIC_SEQ_CST);
}

// Stores Value and returns what the flag held before.
inline BOOLEAN SerialExchangeFlag(BOOLEAN *Flag, BOOLEAN Value)
{
    return __atomic_exchange_n(Flag, Value, __ATOMIC_SEQ_CST);
}

// Turns the flag from FALSE to TRUE; returns FALSE when it was already TRUE.
inline BOOLEAN SerialClaimFlag(BOOLEAN *Flag)
{
    BOOLEAN expected = FALSE;
    return __atomic_compare_exchange_n(Flag, &expected, (BOOLEAN)TRUE, false,
                                       __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)
               ? TRUE
               : FALSE;
}

inline UCHAR SerialReadUchar(const UCHAR *Field)
{
    return __atomic_load_n(Field, __ATOMIC_SEQ_CST);
}

inline VOID SerialWriteUchar(UCHAR *Field, UCHAR Value)
{
    __atomic_store_n(Field, Value, __ATOMIC_SEQ_CST);
}

inline ULONG SerialReadUlong(const ULONG *Field)
{
    return __atomic_load_n(Field, __ATOMIC_SEQ_CST);
}

inline VOID SerialWriteUlong(ULONG *Field, ULONG Value)
{
    __atomic_store_n(Field, Value, __ATOMIC_SEQ_CST);
}

inline ULONG SerialExchangeUlong(ULONG *Field, ULONG Value)
{
    return __atomic_exchange_n(Field, Value, __ATOMIC_SEQ_CST);
}

inline VOID SerialSetBits(ULONG *Field, ULONG Bits)
{
    __atomic_fetch_or(Field, Bits, __ATOMIC_SEQ_CST);
}

inline VOID SerialClearBits(ULONG *Field, ULONG Bits)
{
    __atomic_fetch_and(Field, ~Bits, __ATOMIC_SEQ_CST);
}

inline LONG SerialReadLong(const LONG *Field)
{
    return __atomic_load_n(Field, __ATOMIC_SEQ_CST);
}

inline VOID SerialWriteLong(LONG *Field, LONG Value)
{
    __atomic_store_n(Field, Value, __ATOMIC_SEQ_CST);
}

// Adds Delta and returns the new value.
inline LONG SerialAddLong(LONG *Field, LONG Delta)
{
    return __atomic_add_fetch(Field, Delta, __ATOMIC_SEQ_CST);
}

template <typename T>
inline T *SerialReadPointer(T *const *Field)
{
    return __atomic_load_n(Field, __ATOMIC_SEQ_CST);
}

template <typename T>
inline VOID SerialWritePointer(T **Field, T *Value)
{
    __atomic_store_n(Field, Value, __ATOMIC_SEQ_CST);
}
