// A parsed INF file: sections of lines, each line an optional key and a list
// of comma-separated fields, with Windows' rules -- case-insensitive section
// names and keys, "quoted strings" ("" for a quote inside one), ';' comments,
// '\' at the end of a line to continue it, %strkey% replaced from [Strings]
// (%% for a percent sign), sections of the same name merged. %N% tokens with
// a number are directory IDs and stay for the installer to expand. A
// malformed file, or a %strkey% that [Strings] does not define, is an
// InfError that names the file and the line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::setup {

class InfError : public std::runtime_error {
public:
    InfError(const std::string &file, int line, const std::string &message);
    const std::string &file() const { return file_; }
    int line() const { return line_; }

private:
    std::string file_;
    int line_;
};

struct InfLine {
    int number = 0;  // where the entry starts in the file (1-based)
    std::optional<std::string> key;
    std::vector<std::string> fields;

    // The field at index, or empty when the line has fewer.
    std::string Field(size_t index) const { return index < fields.size() ? fields[index] : std::string(); }
};

struct InfSection {
    std::string name;
    int number = 0;  // line of its first header
    std::vector<InfLine> lines;
};

class InfFile {
public:
    // Reads ANSI, UTF-8 (with or without a byte order mark) or UTF-16LE files.
    // With an architecture, $ARCH$ tokens (NT$ARCH$ decorations of an INF
    // template) become it, as the WDK's stampinf makes them when it builds a
    // package for that architecture.
    static InfFile Load(const std::filesystem::path &path, std::string_view architecture = {});
    static InfFile Parse(std::string_view text, const std::string &fileName);

    const std::string &fileName() const { return fileName_; }
    const std::vector<InfSection> &sections() const { return sections_; }
    const InfSection *Find(std::string_view name) const;
    // The section, or an error at line `from` that names the missing section.
    const InfSection &Require(std::string_view name, int from) const;
    // The first line of the section with this key.
    const InfLine *FindKey(std::string_view section, std::string_view key) const;
    // A [Strings] entry ([Strings.0409] wins over [Strings]).
    std::optional<std::string> String(std::string_view key) const;

    [[noreturn]] void Fail(int line, const std::string &message) const;

private:
    std::string fileName_;
    std::vector<InfSection> sections_;
};

bool EqualNoCase(std::string_view a, std::string_view b);
// A number as INF files write them: decimal, or hexadecimal after 0x.
std::optional<uint32_t> InfNumber(std::string_view text);
std::string Lower(std::string_view text);

}  // namespace winsim::setup
