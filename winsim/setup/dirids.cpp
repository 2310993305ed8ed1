// Directory IDs (see dirids.h).
#include "dirids.h"

namespace winsim::setup {

std::optional<std::string> DirIds::Folder(int dirid) const
{
    if (dirid == 13)
        return storeFolder;
    return MachineFolders::DirIdFolder(dirid);
}

std::string DirIds::Expand(const std::string &text, const InfFile &inf, int line) const
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (close == std::string::npos) {
            out += text[i];
            continue;
        }
        std::string token = text.substr(i + 1, close - i - 1);
        if (token.empty() || token.find_first_not_of("0123456789") != std::string::npos) {
            out += text[i];  // a literal percent sign (%% in the file)
            continue;
        }
        auto folder = Folder(std::stoi(token));
        if (!folder)
            inf.Fail(line, "directory ID " + token + " is not one winsim knows");
        out += folders->Windows(*folder);
        if (!out.empty() && out.back() == '\\')
            out.pop_back();
        i = close;
    }
    return out;
}

std::string ImagePathOf(const std::string &windowsPath, const std::string &systemRoot)
{
    if (windowsPath.size() > systemRoot.size() && EqualNoCase(windowsPath.substr(0, systemRoot.size()), systemRoot) &&
        windowsPath[systemRoot.size()] == '\\')
        return "\\SystemRoot" + windowsPath.substr(systemRoot.size());
    return windowsPath;
}

}  // namespace winsim::setup
