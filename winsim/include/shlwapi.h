// winsim stand-in for shlwapi.h: the light-weight shell string helpers.
#pragma once
#ifndef WINSIM_SHLWAPI_H
#define WINSIM_SHLWAPI_H

#include <windows.h>

WINSIM_BEGIN_C

#define LWSTDAPI_(type) WINSIM_EXTERN_C type WINAPI

// The first occurrence of lpSrch in lpFirst, ignoring case; NULL if none.
LWSTDAPI_(PSTR) StrStrIA(PCSTR pszFirst, PCSTR pszSrch);

WINSIM_END_C

#endif
