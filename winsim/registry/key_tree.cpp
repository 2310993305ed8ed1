// The registry's store (see key_tree.h).
#include "key_tree.h"

#include "text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace winsim::registry {
namespace {

KeyRef NewKey(std::u16string_view name, Key *parent)
{
    auto key = std::make_shared<Key>();
    key->name = name;
    key->parent = parent;
    key->lastWriteTime = CurrentFileTime();
    return key;
}

std::vector<KeyRef>::iterator LowerBound(Key &key, std::u16string_view name)
{
    return std::lower_bound(key.subkeys.begin(), key.subkeys.end(), name,
                            [](const KeyRef &k, std::u16string_view n) { return CompareNoCase(k->name, n) < 0; });
}

KeyRef FindSubkey(Key &key, std::u16string_view name)
{
    auto it = LowerBound(key, name);
    if (it != key.subkeys.end() && EqualNoCase((*it)->name, name))
        return *it;
    return nullptr;
}

StoredValue *FindValue(Key &key, std::u16string_view name)
{
    for (auto &v : key.values)
        if (EqualNoCase(v.name, name))
            return &v;
    return nullptr;
}

std::string Quote(std::u16string_view text) { return "\"" + Utf16ToUtf8(text) + "\""; }

std::string FormatValue(const StoredValue &v)
{
    char buf[64];
    switch (v.type) {
    case REG_SZ:
        return "REG_SZ " + Quote(StringFromData(v.data));
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ " + Quote(StringFromData(v.data));
    case REG_MULTI_SZ: {
        std::string out = "REG_MULTI_SZ";
        for (auto &s : MultiStringFromData(v.data))
            out += " " + Quote(s);
        return out;
    }
    case REG_DWORD:
        if (v.data.size() == 4) {
            uint32_t d = v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<uint32_t>(v.data[3]) << 24;
            snprintf(buf, sizeof buf, "REG_DWORD 0x%08x (%u)", d, d);
            return buf;
        }
        break;
    default:
        break;
    }
    static const char *names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                  "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                  "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    std::string out;
    if (v.type < sizeof names / sizeof names[0]) {
        out = names[v.type];
    } else {
        snprintf(buf, sizeof buf, "type 0x%x", v.type);
        out = buf;
    }
    for (uint8_t b : v.data) {
        snprintf(buf, sizeof buf, " %02x", b);
        out += buf;
    }
    return out;
}

}  // namespace

int64_t CurrentFileTime()
{
    // 100-ns intervals since 1601-01-01.
    auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return since1970.count() / 100 + 116444736000000000LL;
}

bool SplitPath(std::u16string_view path, std::vector<std::u16string_view> *components)
{
    components->clear();
    if (path.empty())
        return true;
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos
                                                                                         : end - start);
        if (part.empty())
            return false;
        components->push_back(part);
        if (end == std::u16string_view::npos)
            return true;
        start = end + 1;
    }
}

Store::Store() { Reset(); }

Store &TheStore()
{
    static Store store;
    return store;
}

void Store::Reset()
{
    std::lock_guard<std::mutex> lock(lock_);
    if (root_)
        MarkDeleted(*root_);
    root_ = NewKey(u"REGISTRY", nullptr);
    for (auto name : {u"MACHINE", u"USER"}) {
        KeyRef child = NewKey(name, root_.get());
        root_->subkeys.insert(LowerBound(*root_, child->name), child);
    }
}

KeyRef Store::Root() const
{
    std::lock_guard<std::mutex> lock(lock_);
    return root_;
}

void Store::MarkDeleted(Key &key)
{
    for (auto &child : key.subkeys)
        MarkDeleted(*child);
    key.subkeys.clear();
    key.values.clear();
    key.deleted = true;
    key.parent = nullptr;
}

NTSTATUS Store::Walk(const KeyRef &base, std::u16string_view path, bool create, bool intermediate, KeyRef *out,
                     bool *created)
{
    if (created != nullptr)
        *created = false;
    KeyRef current;
    std::u16string_view rest = path;
    if (base == nullptr) {
        if (rest.empty() || rest[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        rest.remove_prefix(1);
        size_t end = rest.find(u'\\');
        if (!EqualNoCase(rest.substr(0, end), u"Registry"))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
        current = root_;
    } else {
        if (base->deleted)
            return kStatusKeyDeleted;
        if (!rest.empty() && rest[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        current = base;
    }
    if (!rest.empty() && rest.back() == u'\\')
        rest.remove_suffix(1);
    std::vector<std::u16string_view> components;
    if (!SplitPath(rest, &components))
        return STATUS_OBJECT_NAME_INVALID;
    for (size_t i = 0; i < components.size(); i++) {
        KeyRef child = FindSubkey(*current, components[i]);
        if (child != nullptr) {
            if (child->isLink) {
                child = child->link.lock();
                if (child == nullptr || child->deleted)
                    return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            current = child;
            continue;
        }
        bool last = i + 1 == components.size();
        if (!create || !(last || intermediate))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        KeyRef key = NewKey(components[i], current.get());
        current->subkeys.insert(LowerBound(*current, key->name), key);
        current->lastWriteTime = CurrentFileTime();
        current = key;
        if (last && created != nullptr)
            *created = true;
    }
    *out = current;
    return STATUS_SUCCESS;
}

NTSTATUS Store::Open(const KeyRef &base, std::u16string_view path, KeyRef *out) const
{
    std::lock_guard<std::mutex> lock(lock_);
    return const_cast<Store *>(this)->Walk(base, path, false, false, out, nullptr);
}

NTSTATUS Store::Create(const KeyRef &base, std::u16string_view path, bool intermediate, KeyRef *out, bool *created)
{
    std::lock_guard<std::mutex> lock(lock_);
    return Walk(base, path, true, intermediate, out, created);
}

NTSTATUS Store::CreateLink(std::u16string_view path, const KeyRef &target)
{
    std::lock_guard<std::mutex> lock(lock_);
    size_t split = path.rfind(u'\\');
    if (split == std::u16string_view::npos)
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    KeyRef parent;
    NTSTATUS status = Walk(nullptr, path.substr(0, split), false, false, &parent, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string_view name = path.substr(split + 1);
    if (FindSubkey(*parent, name) != nullptr)
        return STATUS_OBJECT_NAME_COLLISION;
    KeyRef key = NewKey(name, parent.get());
    key->link = target;
    key->isLink = true;
    parent->subkeys.insert(LowerBound(*parent, key->name), key);
    return STATUS_SUCCESS;
}

NTSTATUS Store::QueryValue(const KeyRef &key, std::u16string_view name, StoredValue *out) const
{
    std::lock_guard<std::mutex> lock(lock_);
    if (key->deleted)
        return kStatusKeyDeleted;
    const StoredValue *v = FindValue(*key, name);
    if (v == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *out = *v;
    return STATUS_SUCCESS;
}

NTSTATUS Store::SetValue(const KeyRef &key, std::u16string_view name, ULONG type, const void *data, size_t size)
{
    std::lock_guard<std::mutex> lock(lock_);
    if (key->deleted)
        return kStatusKeyDeleted;
    StoredValue *v = FindValue(*key, name);
    if (v == nullptr) {
        key->values.push_back(StoredValue{std::u16string(name), type, {}});
        v = &key->values.back();
    }
    v->type = type;
    auto bytes = static_cast<const uint8_t *>(data);
    v->data.assign(bytes, bytes + size);
    key->lastWriteTime = CurrentFileTime();
    return STATUS_SUCCESS;
}

NTSTATUS Store::DeleteValue(const KeyRef &key, std::u16string_view name)
{
    std::lock_guard<std::mutex> lock(lock_);
    if (key->deleted)
        return kStatusKeyDeleted;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const StoredValue &v) { return EqualNoCase(v.name, name); });
    if (it == key->values.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    key->values.erase(it);
    key->lastWriteTime = CurrentFileTime();
    return STATUS_SUCCESS;
}

NTSTATUS Store::DeleteKey(const KeyRef &key)
{
    std::lock_guard<std::mutex> lock(lock_);
    if (key->deleted)
        return kStatusKeyDeleted;
    if (!key->subkeys.empty())
        return kStatusCannotDelete;
    return DeleteTreeLocked(key);
}

NTSTATUS Store::DeleteTree(const KeyRef &key)
{
    std::lock_guard<std::mutex> lock(lock_);
    return DeleteTreeLocked(key);
}

NTSTATUS Store::DeleteTreeLocked(const KeyRef &key)
{
    Key *parent = key->parent;
    if (key->deleted)
        return kStatusKeyDeleted;
    // \Registry and the hive roots under it cannot go.
    if (parent == nullptr || parent == root_.get())
        return kStatusCannotDelete;
    auto &siblings = parent->subkeys;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
    parent->lastWriteTime = CurrentFileTime();
    MarkDeleted(*key);
    return STATUS_SUCCESS;
}

NTSTATUS Store::EnumerateKey(const KeyRef &key, ULONG index, std::u16string *name, int64_t *lastWriteTime) const
{
    std::lock_guard<std::mutex> lock(lock_);
    if (key->deleted)
        return kStatusKeyDeleted;
    if (index >= key->subkeys.size())
        return STATUS_NO_MORE_ENTRIES;
    *name = key->subkeys[index]->name;
    if (lastWriteTime != nullptr)
        *lastWriteTime = key->subkeys[index]->lastWriteTime;
    return STATUS_SUCCESS;
}

NTSTATUS Store::EnumerateValue(const KeyRef &key, ULONG index, StoredValue *out) const
{
    std::lock_guard<std::mutex> lock(lock_);
    if (key->deleted)
        return kStatusKeyDeleted;
    if (index >= key->values.size())
        return STATUS_NO_MORE_ENTRIES;
    *out = key->values[index];
    return STATUS_SUCCESS;
}

NTSTATUS Store::CountEntries(const KeyRef &key, ULONG *subkeys, ULONG *values) const
{
    std::lock_guard<std::mutex> lock(lock_);
    if (key->deleted)
        return kStatusKeyDeleted;
    *subkeys = static_cast<ULONG>(key->subkeys.size());
    *values = static_cast<ULONG>(key->values.size());
    return STATUS_SUCCESS;
}

std::u16string Store::PathOf(const KeyRef &key) const
{
    std::lock_guard<std::mutex> lock(lock_);
    if (key->deleted)
        return {};
    std::u16string path;
    for (const Key *k = key.get(); k != nullptr; k = k->parent)
        path = u"\\" + k->name + path;
    return path;
}

std::string Store::Dump(const KeyRef &key) const
{
    std::u16string path = PathOf(key);
    std::lock_guard<std::mutex> lock(lock_);
    std::string out;
    if (!key->deleted)
        DumpLocked(*key, path, out);
    return out;
}

void Store::DumpLocked(const Key &key, const std::u16string &path, std::string &out) const
{
    out += Utf16ToUtf8(path) + "\n";
    for (auto &v : key.values)
        out += "    " + (v.name.empty() ? std::string("(default)") : Quote(v.name)) + " = " + FormatValue(v) + "\n";
    for (auto &child : key.subkeys) {
        std::u16string childPath = path + u"\\" + child->name;
        if (KeyRef target = child->link.lock()) {
            std::u16string targetPath;
            for (const Key *k = target.get(); k != nullptr; k = k->parent)
                targetPath = u"\\" + k->name + targetPath;
            out += Utf16ToUtf8(childPath) + " -> " + Utf16ToUtf8(targetPath) + "\n";
            continue;
        }
        DumpLocked(*child, childPath, out);
    }
}

}  // namespace winsim::registry
