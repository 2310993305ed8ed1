// The registry's store: one tree of keys under \Registry, shared by kernel
// and user mode. Names compare case-insensitively and keep the case they were
// created with; subkeys enumerate in sorted order and values in creation
// order, as on Windows. Every operation takes the store's lock, so callers
// hold only references to keys, never the lock.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::registry {

// Statuses of the configuration manager that ntstatus.h does not carry.
constexpr NTSTATUS kStatusCannotDelete = static_cast<NTSTATUS>(0xC0000121);
constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017C);

struct StoredValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key;
using KeyRef = std::shared_ptr<Key>;

struct Key {
    std::u16string name;
    Key *parent = nullptr;        // null for \Registry and once deleted
    std::vector<KeyRef> subkeys;  // sorted by folded name
    std::vector<StoredValue> values;    // creation order
    std::weak_ptr<Key> link;      // target of a link key (CurrentControlSet)
    bool isLink = false;
    bool deleted = false;
    int64_t lastWriteTime = 0;    // FILETIME
};

class Store {
public:
    Store();

    // Empties the store down to \Registry, \Registry\Machine and \Registry\User.
    void Reset();
    KeyRef Root() const;

    // Opens the key at path: absolute (\Registry\...) when base is null,
    // otherwise relative to base (a leading backslash is then a syntax error).
    // Link keys resolve to their targets.
    NTSTATUS Open(const KeyRef &base, std::u16string_view path, KeyRef *out) const;
    // Opens or creates the key at path. Only the last component is created
    // unless intermediate is set (NT creates one level, Win32 all levels).
    NTSTATUS Create(const KeyRef &base, std::u16string_view path, bool intermediate, KeyRef *out, bool *created);
    // Makes linkKey (a new key at path) resolve to target.
    NTSTATUS CreateLink(std::u16string_view path, const KeyRef &target);

    NTSTATUS QueryValue(const KeyRef &key, std::u16string_view name, StoredValue *out) const;
    NTSTATUS SetValue(const KeyRef &key, std::u16string_view name, ULONG type, const void *data, size_t size);
    NTSTATUS DeleteValue(const KeyRef &key, std::u16string_view name);
    // Deletes a key that has no subkeys (kStatusCannotDelete otherwise).
    NTSTATUS DeleteKey(const KeyRef &key);
    NTSTATUS DeleteTree(const KeyRef &key);

    // STATUS_NO_MORE_ENTRIES past the end.
    NTSTATUS EnumerateKey(const KeyRef &key, ULONG index, std::u16string *name, int64_t *lastWriteTime) const;
    NTSTATUS EnumerateValue(const KeyRef &key, ULONG index, StoredValue *out) const;
    NTSTATUS CountEntries(const KeyRef &key, ULONG *subkeys, ULONG *values) const;

    // \Registry\Machine\SYSTEM\ControlSet001\... (empty for a deleted key).
    std::u16string PathOf(const KeyRef &key) const;
    // A readable listing of the subtree, one line per key and value.
    std::string Dump(const KeyRef &key) const;

private:
    NTSTATUS Walk(const KeyRef &base, std::u16string_view path, bool create, bool intermediate, KeyRef *out,
                  bool *created);
    void DumpLocked(const Key &key, const std::u16string &path, std::string &out) const;
    NTSTATUS DeleteTreeLocked(const KeyRef &key);
    void MarkDeleted(Key &key);

    mutable std::mutex lock_;
    KeyRef root_;
};

// The registry of the running machine.
Store &TheStore();

// Splits a registry path at backslashes. Returns false for an empty
// component (two backslashes in a row).
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view> *components);

int64_t CurrentFileTime();

}  // namespace winsim::registry
