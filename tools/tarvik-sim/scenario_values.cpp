// Scenario values (see scenario_values.h).
#include "scenario_values.h"

#include "win32_errors.h"

#include <cstdio>

namespace tarvik::sim {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace {

bool AddHexWord(const std::string &word, Bytes &out)
{
    if (word.empty() || word.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < word.size(); i += 2) {
        int high = HexDigit(word[i]), low = HexDigit(word[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return true;
}

}  // namespace

std::optional<unsigned long> ParseNumber(const std::string &word)
{
    if (word == "max")
        return 0xFFFFFFFFul;
    if (word.empty() || word.size() > 10 || word.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    unsigned long long value = std::stoull(word);
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<unsigned long>(value);
}

std::variant<Bytes, std::string> ParseData(std::span<const Token> tokens)
{
    if (tokens.empty())
        return std::string("data expected: \"text\", hex 1B 73 3F or pattern N");
    Bytes out;
    for (size_t i = 0; i < tokens.size(); i++) {
        const Token &t = tokens[i];
        if (t.kind == Token::Kind::String) {
            out.insert(out.end(), t.text.begin(), t.text.end());
        } else if (t.text == "hex") {
            size_t first = i + 1;
            while (i + 1 < tokens.size() && tokens[i + 1].kind == Token::Kind::Word && tokens[i + 1].text != "hex" &&
                   tokens[i + 1].text != "pattern") {
                if (!AddHexWord(tokens[++i].text, out))
                    return "'" + tokens[i].text + "' is not hex bytes (two hex digits a byte, like 1B or 1B733F)";
            }
            if (i + 1 == first)
                return std::string("'hex' needs bytes after it, like hex 1B 73 3F");
        } else if (t.text == "pattern") {
            std::optional<unsigned long> n;
            if (i + 1 < tokens.size())
                n = ParseNumber(tokens[i + 1].text);
            if (!n || *n > (64ul << 20))
                return std::string("'pattern' needs a byte count up to 67108864, like pattern 4096");
            i++;
            for (unsigned long k = 0; k < *n; k++)
                out.push_back(static_cast<unsigned char>(k));
        } else {
            return "'" + t.text + "' is not data: write \"text\", hex 1B 73 3F or pattern N";
        }
    }
    return out;
}

std::optional<CallExpectation> ParseCallExpectation(std::span<const Token> tokens, std::string *why)
{
    if (tokens.empty() || (tokens.size() == 1 && tokens[0].IsWord("ok")))
        return CallExpectation{};
    if (tokens[0].IsWord("error")) {
        if (tokens.size() == 1)
            return CallExpectation{false, std::nullopt};
        if (tokens.size() == 2) {
            if (auto code = Win32ErrorCode(tokens[1].text))
                return CallExpectation{false, code};
            *why = "unknown error '" + tokens[1].text + "' (an ERROR_... name or a number)";
            return std::nullopt;
        }
    }
    *why = "expected 'ok', 'error' or 'error NAME' after 'expect'";
    return std::nullopt;
}

StepOutcome CheckCall(const std::string &call, bool ok, unsigned long lastError, const CallExpectation &expected,
                      const std::string &done)
{
    if (ok && expected.succeed)
        return StepOutcome::Pass(done);
    if (ok)
        return StepOutcome::Fail(call + " succeeded (" + done + "), but it was expected to fail" +
                                 (expected.error ? " with " + Win32ErrorText(*expected.error) : ""));
    if (expected.succeed)
        return StepOutcome::Fail(call + " failed with " + Win32ErrorText(lastError));
    if (expected.error && *expected.error != lastError)
        return StepOutcome::Fail(call + " failed with " + Win32ErrorText(lastError) + ", expected " +
                                 Win32ErrorText(*expected.error));
    return StepOutcome::Pass(call + " failed with " + Win32ErrorText(lastError) + ", as expected");
}

std::string ShowBytes(std::span<const unsigned char> bytes)
{
    constexpr size_t kShown = 48;
    std::string head = std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes");
    if (bytes.empty())
        return head;
    bool text = true;
    for (unsigned char c : bytes.first(std::min(bytes.size(), kShown)))
        text = text && (c >= 0x20 || c == '\r' || c == '\n' || c == '\t') && c < 0x7F;
    std::string shown;
    if (text) {
        shown = "\"";
        for (unsigned char c : bytes.first(std::min(bytes.size(), kShown)))
            shown += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : c == '\t' ? std::string("\\t")
                   : c == '"' ? std::string("\\\"") : c == '\\' ? std::string("\\\\") : std::string(1, char(c));
        shown += "\"";
    } else {
        for (unsigned char c : bytes.first(std::min(bytes.size(), kShown))) {
            char hex[4];
            snprintf(hex, sizeof hex, "%02X", c);
            shown += (shown.empty() ? "" : " ") + std::string(hex);
        }
    }
    return head + " " + shown + (bytes.size() > kShown ? " ..." : "");
}

}  // namespace tarvik::sim
