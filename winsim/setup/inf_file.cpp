// The INF parser (see inf_file.h).
#include "inf_file.h"

#include "../registry/text.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>

namespace winsim::setup {
namespace {

constexpr size_t kMaxSectionName = 255;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\x1A'; }

std::string What(const std::string &file, int line, const std::string &message)
{
    return line > 0 ? file + "(" + std::to_string(line) + "): " + message : file + ": " + message;
}

// A line of the file as the tokenizer leaves it, before string substitution.
struct RawEntry {
    int number;
    std::optional<std::string> key;
    std::vector<std::string> fields;
};

struct RawSection {
    std::string name;
    int number;
    std::vector<RawEntry> entries;
};

class Tokenizer {
public:
    Tokenizer(std::string_view text, const std::string &file) : file_(file)
    {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            lines_.emplace_back(line);
            if (end == std::string_view::npos)
                break;
            start = end + 1;
        }
    }

    std::vector<RawSection> Run()
    {
        std::vector<RawSection> sections;
        for (size_t i = 0; i < lines_.size(); i++) {
            std::string_view line = lines_[i];
            size_t first = 0;
            while (first < line.size() && IsSpace(line[first]))
                first++;
            if (first == line.size() || line[first] == ';')
                continue;
            int number = static_cast<int>(i) + 1;
            if (line[first] == '[') {
                sections.push_back(RawSection{Header(line.substr(first), number), number, {}});
                continue;
            }
            if (sections.empty())
                throw InfError(file_, number, "entry before the first [section] header");
            sections.back().entries.push_back(Entry(i));
        }
        return sections;
    }

private:
    std::string Header(std::string_view line, int number)
    {
        size_t close = line.find(']');
        if (close == std::string_view::npos)
            throw InfError(file_, number, "section header without a closing ']'");
        std::string_view rest = line.substr(close + 1);
        size_t k = 0;
        while (k < rest.size() && IsSpace(rest[k]))
            k++;
        if (k < rest.size() && rest[k] != ';')
            throw InfError(file_, number, "unexpected text after the section header");
        std::string_view name = line.substr(1, close - 1);
        while (!name.empty() && IsSpace(name.front()))
            name.remove_prefix(1);
        while (!name.empty() && IsSpace(name.back()))
            name.remove_suffix(1);
        if (name.empty())
            throw InfError(file_, number, "empty section name");
        if (name.size() > kMaxSectionName)
            throw InfError(file_, number, "section name longer than 255 characters");
        return std::string(name);
    }

    // True when only blanks or a comment follow position pos of the line.
    static bool OnlyCommentAfter(std::string_view line, size_t pos)
    {
        for (size_t k = pos; k < line.size(); k++) {
            if (line[k] == ';')
                return true;
            if (!IsSpace(line[k]))
                return false;
        }
        return true;
    }

    // One entry, possibly continued over several lines; i ends on its last line.
    RawEntry Entry(size_t &i)
    {
        RawEntry entry{static_cast<int>(i) + 1, std::nullopt, {}};
        std::string current;
        size_t keep = 0;  // current is cut back to this at the end of the field
        bool quoted = false, sawComma = false;
        auto endField = [&] {
            current.resize(keep);
            entry.fields.push_back(current);
            current.clear();
            keep = 0;
        };
        for (;;) {
            std::string_view line = lines_[i];
            bool continued = false;
            for (size_t pos = 0; pos < line.size(); pos++) {
                char c = line[pos];
                if (quoted) {
                    if (c == '"' && pos + 1 < line.size() && line[pos + 1] == '"') {
                        current += '"';
                        pos++;
                    } else if (c == '"') {
                        quoted = false;
                        continue;
                    } else {
                        current += c;
                    }
                    keep = current.size();
                    continue;
                }
                if (c == ';')
                    break;
                if (c == '"') {
                    quoted = true;
                    keep = current.size();
                } else if (c == '=' && !entry.key && !sawComma) {
                    current.resize(keep);
                    entry.key = current;
                    current.clear();
                    keep = 0;
                } else if (c == ',') {
                    sawComma = true;
                    endField();
                } else if (c == '\\' && OnlyCommentAfter(line, pos + 1)) {
                    continued = true;
                    break;
                } else if (!(IsSpace(c) && current.empty())) {
                    current += c;
                    if (!IsSpace(c))
                        keep = current.size();
                }
            }
            if (quoted)
                throw InfError(file_, static_cast<int>(i) + 1, "quoted string not closed on this line");
            if (!continued || i + 1 >= lines_.size())
                break;
            i++;
        }
        endField();
        return entry;
    }

    std::string file_;
    std::vector<std::string_view> lines_;
};

std::string Utf16LeToUtf8(std::string_view bytes)
{
    std::u16string wide;
    for (size_t k = 0; k + 1 < bytes.size(); k += 2)
        wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[k]) | static_cast<unsigned char>(bytes[k + 1]) << 8);
    return registry::Utf16ToUtf8(wide);
}

bool IsNumber(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

InfError::InfError(const std::string &file, int line, const std::string &message)
    : std::runtime_error(What(file, line, message)), file_(file), line_(line)
{
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<uint32_t> InfNumber(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                        ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                        : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * base + static_cast<uint64_t>(digit);
    }
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (auto &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

InfFile InfFile::Load(const std::filesystem::path &path, std::string_view architecture)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw InfError(path.string(), 0, "cannot be read");
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
        text = Utf16LeToUtf8(std::string_view(bytes).substr(2));
    else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text = bytes.substr(3);
    else
        text = std::move(bytes);
    if (!architecture.empty()) {
        const std::string lower = Lower(text);
        std::string stamped;
        size_t from = 0;
        for (size_t at = lower.find("$arch$"); at != std::string::npos; at = lower.find("$arch$", from)) {
            stamped += text.substr(from, at - from);
            stamped += architecture;
            from = at + 6;
        }
        text = stamped + text.substr(from);
    }
    return Parse(text, path.string());
}

InfFile InfFile::Parse(std::string_view text, const std::string &fileName)
{
    InfFile inf;
    inf.fileName_ = fileName;
    std::vector<RawSection> raw = Tokenizer(text, fileName).Run();

    // Sections of the same name are one section.
    std::map<std::string, size_t> index;
    std::vector<RawSection> merged;
    for (auto &section : raw) {
        auto [it, added] = index.emplace(Lower(section.name), merged.size());
        if (added)
            merged.push_back(std::move(section));
        else
            for (auto &e : section.entries)
                merged[it->second].entries.push_back(std::move(e));
    }

    // [Strings] first: the other sections are written in its terms.
    for (auto &section : merged) {
        InfSection out{section.name, section.number, {}};
        for (auto &e : section.entries)
            out.lines.push_back(InfLine{e.number, e.key, e.fields});
        inf.sections_.push_back(std::move(out));
    }
    auto expand = [&inf](const std::string &text, int line) {
        std::string out;
        for (size_t i = 0; i < text.size(); i++) {
            if (text[i] != '%') {
                out += text[i];
                continue;
            }
            size_t close = text.find('%', i + 1);
            if (close == std::string::npos)
                inf.Fail(line, "'%' without a closing '%' (a percent sign is written %%)");
            std::string token = text.substr(i + 1, close - i - 1);
            if (token.empty())
                out += '%';
            else if (auto value = inf.String(token))
                out += *value;
            else if (IsNumber(token))
                out += "%" + token + "%";  // a directory ID, expanded by the installer
            else
                inf.Fail(line, "%" + token + "% is not defined in [Strings]");
            i = close;
        }
        return out;
    };
    for (auto &section : inf.sections_) {
        std::string lower = Lower(section.name);
        if (lower == "strings" || lower.rfind("strings.", 0) == 0)
            continue;
        for (auto &line : section.lines) {
            if (line.key)
                line.key = expand(*line.key, line.number);
            for (auto &field : line.fields)
                field = expand(field, line.number);
        }
    }
    return inf;
}

const InfSection *InfFile::Find(std::string_view name) const
{
    for (auto &section : sections_)
        if (EqualNoCase(section.name, name))
            return &section;
    return nullptr;
}

const InfSection &InfFile::Require(std::string_view name, int from) const
{
    const InfSection *section = Find(name);
    if (section == nullptr)
        Fail(from, "section [" + std::string(name) + "] does not exist");
    return *section;
}

const InfLine *InfFile::FindKey(std::string_view section, std::string_view key) const
{
    const InfSection *s = Find(section);
    if (s == nullptr)
        return nullptr;
    for (auto &line : s->lines)
        if (line.key && EqualNoCase(*line.key, key))
            return &line;
    return nullptr;
}

std::optional<std::string> InfFile::String(std::string_view key) const
{
    for (const char *section : {"Strings.0409", "Strings"}) {
        if (const InfLine *line = FindKey(section, key)) {
            std::string value = line->fields.empty() ? std::string() : line->fields[0];
            for (size_t k = 1; k < line->fields.size(); k++)
                value += "," + line->fields[k];  // an unquoted comma is part of the string
            for (size_t at = value.find("%%"); at != std::string::npos; at = value.find("%%", at + 1))
                value.erase(at, 1);
            return value;
        }
    }
    return std::nullopt;
}

void InfFile::Fail(int line, const std::string &message) const { throw InfError(fileName_, line, message); }

}  // namespace winsim::setup
