// The uninstaller's program flow: WinMain (declared by <windows.h>), the
// hidden window that carries the steps, and the restart.
#ifndef TARVIK_UNINSTALL_PROGRAM_FLOW_H
#define TARVIK_UNINSTALL_PROGRAM_FLOW_H

#include <windows.h>

// Window procedure of the hidden "TARVIKUnInstall" window. WM_USER with
// wParam 1 asks for confirmation and tests the rights, wParam 2 removes the
// product and offers a restart, any other wParam ends the program.
LRESULT CALLBACK UninstallWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Enables SeShutdownPrivilege in the token of the given process, then closes
// the handle passed in. Failures go unreported: the restart request that
// follows simply fails.
void EnableShutdownPrivilege(HANDLE process);

#endif
