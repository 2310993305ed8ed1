// Names of the communications API's flags, both ways: for narration and
// for scenario files (event masks, modem status bits, purge flags, escape
// functions, comm errors, parity).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvik::sim {

struct FlagName {
    unsigned long value;
    const char *name;  // the scenario word: "rxchar", "dsr", ...
    const char *api;   // the Win32 name: "EV_RXCHAR", "MS_DSR_ON", ...
};

extern const std::vector<FlagName> kEventFlags;     // SetCommMask / WaitCommEvent
extern const std::vector<FlagName> kModemFlags;     // GetCommModemStatus
extern const std::vector<FlagName> kPurgeFlags;     // PurgeComm
extern const std::vector<FlagName> kCommErrors;     // ClearCommError
extern const std::vector<FlagName> kEscapeFunctions;  // EscapeCommFunction (values, not bits)
extern const std::vector<FlagName> kParities;       // DCB.Parity (values)

// "EV_RXCHAR|EV_TXEMPTY", or "none".
std::string FlagsText(unsigned long value, const std::vector<FlagName> &table);
// The value of a scenario word in a table ("rxchar", or its API name).
std::optional<unsigned long> FlagValue(const std::string &word, const std::vector<FlagName> &table);
// "rxchar, rxflag, txempty, ..." for error messages.
std::string FlagWords(const std::vector<FlagName> &table);

}  // namespace tarvik::sim
