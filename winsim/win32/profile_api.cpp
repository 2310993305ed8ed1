// GetPrivateProfileStringA with Windows' reading of an INI file: section
// names and keys compare without regard to case, blanks around keys and
// values are dropped, a value in matching quotes loses them, lines that
// start with ';' are comments -- and nothing else is: a ';' after a value
// belongs to the value. The first section and the first key of a name win.
// https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-getprivateprofilestringa
#include "handles.h"
#include "windows_paths.h"

#include "../setup/inf_file.h"

#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace winsim::win32;
using winsim::setup::EqualNoCase;

namespace {

struct ProfileKey {
    std::string name;
    std::optional<std::string> value;  // none: a line without '='
};

struct ProfileSection {
    std::string name;
    std::vector<ProfileKey> keys;
};

std::string Trim(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

std::string Unquote(const std::string &value)
{
    if (value.size() > 1 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

std::vector<ProfileSection> Parse(std::istream &in)
{
    std::vector<ProfileSection> sections;
    std::string line;
    while (std::getline(in, line)) {
        std::string text = Trim(line);
        if (text.empty() || text[0] == ';')
            continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            sections.push_back({Trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1)), {}});
            continue;
        }
        // Lines before the first section belong to none.
        if (sections.empty())
            continue;
        size_t equals = text.find('=');
        if (equals == std::string::npos)
            sections.back().keys.push_back({text, std::nullopt});
        else
            sections.back().keys.push_back({Trim(text.substr(0, equals)), Unquote(Trim(text.substr(equals + 1)))});
    }
    return sections;
}

const ProfileSection *FindSection(const std::vector<ProfileSection> &sections, const char *name)
{
    for (const ProfileSection &section : sections)
        if (EqualNoCase(section.name, name))
            return &section;
    return nullptr;
}

// One string into the caller's buffer, cut to fit: the length copied.
DWORD CopyOut(const std::string &text, LPSTR buffer, DWORD size)
{
    if (size == 0)
        return 0;
    size_t length = std::min<size_t>(text.size(), size - 1);
    memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return static_cast<DWORD>(length);
}

// A list of names, each ended by a zero and the list by another; cut to fit
// with both zeros kept, which gives size - 2.
DWORD CopyListOut(const std::vector<std::string> &names, LPSTR buffer, DWORD size)
{
    if (size < 2) {
        if (size == 1)
            buffer[0] = '\0';
        return 0;
    }
    std::string list;
    for (const std::string &name : names)
        list += name + '\0';
    if (list.size() + 1 > size) {
        memcpy(buffer, list.data(), size - 2);
        buffer[size - 2] = '\0';
        buffer[size - 1] = '\0';
        return size - 2;
    }
    memcpy(buffer, list.data(), list.size());
    buffer[list.size()] = '\0';
    if (list.empty())
        buffer[1] = '\0';
    return static_cast<DWORD>(list.size());
}

// A file name without a folder is looked for in the Windows folder.
std::string FullPathOf(LPCSTR fileName)
{
    std::string name = fileName;
    if (name.find_first_of("\\/") == std::string::npos)
        return WindowsFolder() + "\\" + name;
    return name;
}

}  // namespace

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                                 LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName)
{
    if (lpReturnedString == nullptr || nSize == 0)
        return 0;
    // Trailing blanks of the default are dropped.
    std::string fallback = lpDefault != nullptr ? lpDefault : "";
    fallback.erase(fallback.find_last_not_of(' ') + 1);

    std::optional<std::filesystem::path> host =
        lpFileName != nullptr ? HostPathOf(FullPathOf(lpFileName)) : std::nullopt;
    std::ifstream file;
    if (host)
        file.open(*host, std::ios::binary);
    if (!file) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        if (lpAppName == nullptr || lpKeyName == nullptr)
            return CopyListOut({}, lpReturnedString, nSize);
        return CopyOut(fallback, lpReturnedString, nSize);
    }
    std::vector<ProfileSection> sections = Parse(file);
    SetLastError(ERROR_SUCCESS);

    if (lpAppName == nullptr) {
        std::vector<std::string> names;
        for (const ProfileSection &section : sections)
            names.push_back(section.name);
        return CopyListOut(names, lpReturnedString, nSize);
    }
    const ProfileSection *section = FindSection(sections, lpAppName);
    if (lpKeyName == nullptr) {
        std::vector<std::string> names;
        if (section != nullptr)
            for (const ProfileKey &key : section->keys)
                names.push_back(key.name);
        return CopyListOut(names, lpReturnedString, nSize);
    }
    if (section != nullptr)
        for (const ProfileKey &key : section->keys)
            if (EqualNoCase(key.name, lpKeyName))
                return CopyOut(key.value ? *key.value : fallback, lpReturnedString, nSize);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return CopyOut(fallback, lpReturnedString, nSize);
}
