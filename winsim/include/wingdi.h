// winsim stand-in for wingdi.h: the stock objects a window class names.
// Nothing is drawn in winsim; the objects are handles and nothing more.
#pragma once
#ifndef WINSIM_WINGDI_H
#define WINSIM_WINGDI_H

#include <windows.h>

WINSIM_BEGIN_C

#define WINGDIAPI WINSIM_EXTERN_C

#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5

WINGDIAPI HGDIOBJ WINAPI GetStockObject(int i);

WINSIM_END_C

#endif
