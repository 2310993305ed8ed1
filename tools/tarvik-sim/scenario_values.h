// The values scenario steps take and compare: byte strings, numbers,
// expected outcomes of a Win32 call, and how to show bytes in a report.
#pragma once

#include "scenario.h"

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tarvik::sim {

// The value of a hexadecimal digit, or -1.
int HexDigit(char c);

using Bytes = std::vector<unsigned char>;

// DATA: one or more of "text" (escapes as in C, plus \e), hex 1B 73 3F (or
// hex 1B733F), pattern N (N bytes counting 00, 01, ... FF, 00, ...).
std::variant<Bytes, std::string> ParseData(std::span<const Token> tokens);

// A count or a time: decimal digits, or "max" (0xFFFFFFFF).
std::optional<unsigned long> ParseNumber(const std::string &word);

// How a Win32 call is expected to end: success (the default, or "ok"),
// any failure ("error") or a failure with a given code ("error NAME").
struct CallExpectation {
    bool succeed = true;
    std::optional<unsigned long> error;
};
// From the tokens after "expect"; nullopt with *why set when they are not one.
std::optional<CallExpectation> ParseCallExpectation(std::span<const Token> tokens, std::string *why);
// Compares a call's outcome; `done` says what a success did.
StepOutcome CheckCall(const std::string &call, bool ok, unsigned long lastError, const CallExpectation &expected,
                      const std::string &done);

// "5 bytes "hello"" or "3 bytes 1B 73 3F"; long data is cut short.
std::string ShowBytes(std::span<const unsigned char> bytes);

}  // namespace tarvik::sim
