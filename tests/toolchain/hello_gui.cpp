// A minimal Win32 GUI program in the style of the product's desktop code:
// narrow entry points, one message box. It proves the GUI toolchain.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    MessageBoxA(NULL, "The toolchain works.", "hello_gui", MB_OK | MB_ICONINFORMATION);
    return 0;
}
