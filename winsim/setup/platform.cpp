// Platform decorations of INF sections (see platform.h).
#include "platform.h"

#include <tuple>

namespace winsim::setup {
namespace {

const char *const kArchitectures[] = {"x86", "amd64", "ia64", "arm64", "arm"};

struct Decoration {
    std::string architecture;  // empty: none given
    std::optional<unsigned> major, minor, productType, build;
};

std::optional<unsigned> Number(const std::string &text)
{
    if (text.empty())
        return std::nullopt;
    return static_cast<unsigned>(std::stoul(text, nullptr, 0));
}

std::optional<Decoration> Parse(const std::string &text)
{
    std::string lower = Lower(text);
    if (lower.rfind("nt", 0) != 0)
        return std::nullopt;
    Decoration d;
    size_t dot = lower.find('.');
    std::string head = lower.substr(2, dot == std::string::npos ? std::string::npos : dot - 2);
    if (!head.empty()) {
        bool known = false;
        for (const char *arch : kArchitectures)
            known |= head == arch;
        if (!known)
            return std::nullopt;
        d.architecture = head;
    }
    std::vector<std::string> parts;
    while (dot != std::string::npos) {
        size_t next = lower.find('.', dot + 1);
        parts.push_back(lower.substr(dot + 1, next == std::string::npos ? std::string::npos : next - dot - 1));
        dot = next;
    }
    try {
        if (parts.size() > 0) d.major = Number(parts[0]);
        if (parts.size() > 1) d.minor = Number(parts[1]);
        if (parts.size() > 2) d.productType = Number(parts[2]);
        if (parts.size() > 4) d.build = Number(parts[4]);
    } catch (const std::exception &) {
        return std::nullopt;
    }
    return d;
}

bool Applies(const Decoration &d, const Platform &p)
{
    if (d.architecture.empty() ? p.architecture != "x86" : d.architecture != p.architecture)
        return false;
    if (d.major && std::make_tuple(*d.major, d.minor.value_or(0)) > std::make_tuple(p.major, p.minor))
        return false;
    if (d.build && *d.build > p.build)
        return false;
    if (d.productType && *d.productType != p.productType)
        return false;
    return true;
}

}  // namespace

std::optional<std::string> ModelsSectionFor(const InfFile &inf, const InfLine &manufacturer, const Platform &platform)
{
    if (manufacturer.fields.empty() || manufacturer.fields[0].empty())
        return std::nullopt;
    const std::string &base = manufacturer.fields[0];
    std::optional<std::tuple<unsigned, unsigned, unsigned>> best;
    std::string chosen;
    for (size_t i = 1; i < manufacturer.fields.size(); i++) {
        auto d = Parse(manufacturer.fields[i]);
        if (!d) {
            inf.Fail(manufacturer.number, "'" + manufacturer.fields[i] + "' is not a TargetOSVersion decoration");
        }
        if (!Applies(*d, platform))
            continue;
        auto version = std::make_tuple(d->major.value_or(0), d->minor.value_or(0), d->build.value_or(0));
        if (!best || version > *best) {
            best = version;
            chosen = base + "." + manufacturer.fields[i];
        }
    }
    if (best)
        return chosen;
    // An undecorated Models section serves x86 only.
    if (platform.architecture == "x86")
        return base;
    return std::nullopt;
}

std::optional<std::string> InstallSectionFor(const InfFile &inf, const std::string &name, const Platform &platform)
{
    for (const std::string &candidate : {name + ".NT" + platform.architecture, name + ".NT", name})
        if (const InfSection *section = inf.Find(candidate))
            return section->name;
    return std::nullopt;
}

std::string InstallSectionExtension(const std::string &chosen, const std::string &name)
{
    return chosen.size() > name.size() ? chosen.substr(name.size()) : std::string();
}

}  // namespace winsim::setup
