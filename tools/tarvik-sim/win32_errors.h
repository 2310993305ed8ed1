// Win32 error codes by name, for messages and for scenario expectations.
#pragma once

#include <optional>
#include <string>

namespace tarvik::sim {

// "ERROR_ACCESS_DENIED (5)"; "error 1234" for a code without a name here.
std::string Win32ErrorText(unsigned long code);
// The code of "ERROR_ACCESS_DENIED" or of a number such as "5".
std::optional<unsigned long> Win32ErrorCode(const std::string &name);

}  // namespace tarvik::sim
