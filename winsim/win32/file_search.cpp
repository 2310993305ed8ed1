// FindFirstFileA, FindNextFileA and FindClose over the host folders behind
// the machine's Windows paths. Names are listed in the order NTFS keeps a
// folder: sorted by their upper-case form, so oem1.inf comes before
// oem10.inf, and oem10.inf before oem2.inf.
// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-findfirstfilea
#include "handles.h"
#include "windows_paths.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <system_error>
#include <vector>

using namespace winsim::win32;

namespace winsim::win32 {

struct FileSearch {
    std::filesystem::path folder;
    std::vector<std::string> names;
    size_t next = 0;
};

}  // namespace winsim::win32

namespace {

std::string Upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// '*' matches any run of characters, '?' any one; case does not count.
bool MatchesWildcard(const char *name, const char *pattern)
{
    if (*pattern == '\0')
        return *name == '\0';
    if (*pattern == '*')
        return MatchesWildcard(name, pattern + 1) || (*name != '\0' && MatchesWildcard(name + 1, pattern));
    if (*name == '\0')
        return false;
    if (*pattern != '?' && toupper(static_cast<unsigned char>(*pattern)) != toupper(static_cast<unsigned char>(*name)))
        return false;
    return MatchesWildcard(name + 1, pattern + 1);
}

void Fill(const FileSearch &search, const std::string &name, LPWIN32_FIND_DATAA data)
{
    memset(data, 0, sizeof(*data));
    std::error_code error;
    std::filesystem::path path = search.folder / name;
    if (std::filesystem::is_directory(path, error)) {
        data->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        auto size = std::filesystem::file_size(path, error);
        if (!error) {
            data->nFileSizeLow = static_cast<DWORD>(size);
            data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        }
    }
    strncpy(data->cFileName, name.c_str(), MAX_PATH - 1);
}

}  // namespace

extern "C" {

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (lpFileName == nullptr || lpFindFileData == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = lpFileName;
    size_t slash = path.find_last_of("\\/");
    std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
    std::optional<std::filesystem::path> host = HostPathOf(folder);
    std::error_code error;
    if (!host || !std::filesystem::is_directory(*host, error)) {
        Fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_shared<FileSearch>();
    search->folder = *host;
    for (const auto &entry : std::filesystem::directory_iterator(*host, error)) {
        std::string name = entry.path().filename().string();
        if (MatchesWildcard(name.c_str(), pattern.c_str()))
            search->names.push_back(name);
    }
    if (search->names.empty()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::sort(search->names.begin(), search->names.end(),
              [](const std::string &a, const std::string &b) { return Upper(a) < Upper(b); });
    Fill(*search, search->names[0], lpFindFileData);
    search->next = 1;
    HandleObject object{HandleType::FileSearch};
    object.search = std::move(search);
    SetLastError(ERROR_SUCCESS);
    return Insert(std::move(object));
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    auto object = Lookup(hFindFile);
    if (object == nullptr || object->type != HandleType::FileSearch)
        return Fail(ERROR_INVALID_HANDLE);
    FileSearch &search = *object->search;
    if (search.next >= search.names.size())
        return Fail(ERROR_NO_MORE_FILES);
    Fill(search, search.names[search.next++], lpFindFileData);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
    auto object = Lookup(hFindFile);
    if (object == nullptr || object->type != HandleType::FileSearch)
        return Fail(ERROR_INVALID_HANDLE);
    Remove(hFindFile);
    return TRUE;
}

}  // extern "C"
