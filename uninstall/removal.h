// The uninstaller's operations on the system: removing the product's USB
// devices, deleting its OEM driver packages and testing for the rights both
// need. None of them shows anything; the program flow decides what the user
// sees.
#ifndef TARVIK_UNINSTALL_REMOVAL_H
#define TARVIK_UNINSTALL_REMOVAL_H

#include <windows.h>

// Asks the class installer to remove every device, of any class and whether
// connected or not, one of whose hardware IDs contains devicePattern
// (ignoring case). The removal requests carry the device class named in the
// [Version] section of informationFile. Failures are not reported.
void RemoveMatchingDevices(LPCSTR informationFile, LPCSTR devicePattern);

// Deletes, with pnputil, every OEM driver package in the Windows INF folder
// whose [Strings] section holds the product's key with a value other than
// "NO". The deletions run as separate processes that are not waited for.
void RemoveOemDriverPackages(void);

// TRUE when the COM Name Arbiter key can be opened for reading and writing,
// which only an administrator can do; FALSE on any error.
BOOL HasArbiterWriteAccess(void);

#endif
