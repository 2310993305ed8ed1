// The registry of the simulated machine, for the simulator's own parts, the
// harness and tests: one tree shared by kernel mode (Zw*, Rtl*Registry*,
// IoOpenDeviceRegistryKey) and user mode (Reg*A in the Win32 layer).
//
// Paths are NT paths (\Registry\Machine\SYSTEM\...) or start with a root
// key's name or abbreviation (HKEY_LOCAL_MACHINE\..., HKLM\..., HKCU\...,
// HKCR\..., HKU\..., HKCC\...). Names are UTF-8 here and UTF-16 in the store,
// and compare case-insensitively.
#pragma once

#include <ntdef.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {
struct Module;
}

namespace winsim::registry {

// Keys the rest of winsim refers to, as NT paths.
inline constexpr char kControlSet[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet";
inline constexpr char kEnumKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char kServicesKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
inline constexpr char kClassKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class";
inline constexpr char kComNameArbiterKey[] =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
inline constexpr char kSerialCommKey[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline constexpr char kDriverDatabaseKey[] = "\\Registry\\Machine\\DRIVERS\\DriverDatabase";

struct BootOptions {
    ULONG osMajor = 10, osMinor = 0, osBuild = 19045;
    std::string systemRoot = "C:\\Windows";
};

// Gives the machine a fresh registry with the keys a booted Windows has,
// closes every key handle of the previous machine and makes the user
// elevated again. Machine's constructor calls it.
void Boot(const BootOptions &options = {});

struct Value {
    std::string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// The NT path for a path in any accepted form; empty if the root is unknown.
std::string NtPath(const std::string &path);

bool KeyExists(const std::string &path);
// Creates the key and any missing keys above it.
bool CreateKey(const std::string &path);
// Deletes the key with everything below it.
bool DeleteKey(const std::string &path);
std::vector<std::string> SubkeyNames(const std::string &path);
std::vector<Value> Values(const std::string &path);

std::optional<Value> GetValue(const std::string &path, const std::string &name);
// REG_SZ and REG_EXPAND_SZ data up to the first terminator.
std::optional<std::string> GetString(const std::string &path, const std::string &name);
std::optional<std::vector<std::string>> GetMultiString(const std::string &path, const std::string &name);
// REG_DWORD data of exactly four bytes.
std::optional<uint32_t> GetDword(const std::string &path, const std::string &name);

// The setters create the key (and the keys above it) when it is missing.
bool SetValue(const std::string &path, const std::string &name, ULONG type, const std::vector<uint8_t> &data);
bool SetString(const std::string &path, const std::string &name, const std::string &text, ULONG type = REG_SZ);
bool SetMultiString(const std::string &path, const std::string &name, const std::vector<std::string> &strings);
bool SetDword(const std::string &path, const std::string &name, uint32_t value);
bool SetBinary(const std::string &path, const std::string &name, const std::vector<uint8_t> &bytes);
bool DeleteValue(const std::string &path, const std::string &name);

// Every key and value of the subtree, one per line, for debugging.
std::string Dump(const std::string &path = "\\Registry");

// The simulated user's token: elevated (the default) or filtered, which
// makes HKEY_LOCAL_MACHINE read-only for Reg* callers.
void SetUserElevated(bool elevated);
bool UserElevated();

// Open handles, for leak reports: user-mode HKEYs, and the kernel handles a
// module (any module when null) opened and has not closed.
size_t OpenUserKeyHandleCount();
size_t OpenKernelKeyHandleCount();
std::vector<std::string> OpenKernelKeyHandles(const Module *owner = nullptr);

}  // namespace winsim::registry
