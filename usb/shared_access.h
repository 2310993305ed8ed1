// Tear-free access to driver state that one thread writes and another reads
// without holding a lock: the Plug and Play flags, the power bookkeeping and
// the bulk-read abort flag. Every access to such a field goes through these
// two helpers so that no reader ever sees a half-written value and the
// compiler neither caches nor reorders the access.
#pragma once

template <typename T>
struct SHARED_VALUE_TYPE {
    typedef T Type;
};

template <typename T>
inline T ReadShared(const T *Location)
{
    return __atomic_load_n(Location, __ATOMIC_SEQ_CST);
}

// The value parameter does not take part in type deduction, so that
// WriteShared(&Flag, TRUE) stores a BOOLEAN although TRUE is an int.
template <typename T>
inline void WriteShared(T *Location, typename SHARED_VALUE_TYPE<T>::Type Value)
{
    __atomic_store_n(Location, Value, __ATOMIC_SEQ_CST);
}
