// The COM Name Arbiter: which COM numbers are taken, as one bit per number
// in the ComDB value (REG_BINARY) of
// HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter -- bit 0 of byte 0
// is COM1. The database holds 256 numbers and grows in steps of 1024 up to
// 4096, as ComDBResizeDatabase allows.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/msports/nf-msports-comdbclaimnextfreeport
#pragma once

#include <optional>
#include <string_view>

namespace winsim::setup::comdb {

constexpr int kMaxPorts = 4096;

// Takes the lowest free number; nullopt when all are taken.
std::optional<int> ClaimNextFree();
// Takes number whether or not it is free (a forced or remembered name).
void Claim(int number);
void Release(int number);
bool InUse(int number);

// 7 for "COM7" (any case); nullopt for a name that is not COM<n>.
std::optional<int> PortNumber(std::string_view name);

}  // namespace winsim::setup::comdb
