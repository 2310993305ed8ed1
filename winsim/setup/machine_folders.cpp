// The simulated machine's Windows folder (see machine_folders.h).
#include "machine_folders.h"

#include "inf_file.h"

#include <system_error>

namespace winsim::setup {

std::filesystem::path ResolveCaseInsensitive(const std::filesystem::path &base, std::string_view relative)
{
    std::filesystem::path path = base;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find_first_of("\\/", start);
        std::string part(relative.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (!part.empty() && part != ".") {
            std::filesystem::path next = path / part;
            std::error_code error;
            if (!std::filesystem::exists(next, error) && std::filesystem::is_directory(path, error)) {
                for (auto &entry : std::filesystem::directory_iterator(path, error))
                    if (EqualNoCase(entry.path().filename().string(), part)) {
                        next = entry.path();
                        break;
                    }
            }
            path = next;
        }
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return path;
}

MachineFolders::MachineFolders(std::filesystem::path windowsDirectory, std::string systemRoot)
    : windowsDirectory_(std::move(windowsDirectory)), systemRoot_(std::move(systemRoot))
{
}

std::filesystem::path MachineFolders::Host(std::string_view relative) const
{
    return ResolveCaseInsensitive(windowsDirectory_, relative);
}

std::string MachineFolders::Windows(std::string_view relative) const
{
    std::string path = systemRoot_;
    if (!relative.empty())
        path += "\\" + std::string(relative);
    for (auto &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::optional<std::string> MachineFolders::DirIdFolder(int dirid)
{
    switch (dirid) {
    case 10: return std::string();
    case 11: return std::string("System32");
    case 12: return std::string("System32\\drivers");
    case 17: return std::string("INF");
    case 18: return std::string("Help");
    case 20: return std::string("Fonts");
    case 50: return std::string("System");
    default: return std::nullopt;
    }
}

}  // namespace winsim::setup
