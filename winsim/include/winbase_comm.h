// winsim stand-in: the communications API of kernel32 (part of winbase.h on
// Windows; included by windows.h).
#pragma once
