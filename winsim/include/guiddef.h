// winsim stand-in: GUIDs and DEFINE_GUID. Including <initguid.h> makes the
// DEFINE_GUIDs that follow define their GUIDs instead of declaring them, as on
// Windows; so this header has no #pragma once (its types have a guard).
#ifndef WINSIM_GUIDDEF_H
#define WINSIM_GUIDDEF_H

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;
#endif
typedef GUID *LPGUID, *PGUID;
typedef const GUID *LPCGUID, *PCGUID;
typedef GUID IID, CLSID;
#ifdef __cplusplus
#define REFGUID const GUID &
#else
#define REFGUID const GUID *
#endif

#ifdef __cplusplus
inline bool IsEqualGUID(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID &a, const GUID &b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID &a, const GUID &b) { return !IsEqualGUID(a, b); }
#endif

#endif // WINSIM_GUIDDEF_H

#undef DEFINE_GUID
#ifdef INITGUID
#ifdef __cplusplus
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" __attribute__((weak)) const GUID name = { l, w1, w2, { b1, b2, b3, b4, b5, b6, b7, b8 } }
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    const GUID name __attribute__((weak)) = { l, w1, w2, { b1, b2, b3, b4, b5, b6, b7, b8 } }
#endif
#else
#ifdef __cplusplus
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern "C" const GUID name
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern const GUID name
#endif
#endif
