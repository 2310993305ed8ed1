// The COM Name Arbiter's database (see com_name_arbiter.h).
#include "com_name_arbiter.h"

#include "inf_file.h"

#include "../registry/registry.h"

#include <cctype>
#include <vector>

namespace winsim::setup::comdb {
namespace {

constexpr size_t kMinimumBytes = 256 / 8;
constexpr size_t kGrowthBytes = 1024 / 8;

std::vector<uint8_t> Load()
{
    auto value = registry::GetValue(registry::kComNameArbiterKey, "ComDB");
    std::vector<uint8_t> bits = value ? value->data : std::vector<uint8_t>();
    if (bits.size() < kMinimumBytes)
        bits.resize(kMinimumBytes, 0);
    return bits;
}

void Store(const std::vector<uint8_t> &bits) { registry::SetBinary(registry::kComNameArbiterKey, "ComDB", bits); }

void Set(std::vector<uint8_t> &bits, int number, bool used)
{
    size_t index = static_cast<size_t>(number - 1);
    if (index / 8 >= bits.size())
        bits.resize((index / 8 / kGrowthBytes + 1) * kGrowthBytes, 0);
    uint8_t mask = static_cast<uint8_t>(1u << (index % 8));
    bits[index / 8] = used ? bits[index / 8] | mask : bits[index / 8] & ~mask;
}

bool Get(const std::vector<uint8_t> &bits, int number)
{
    size_t index = static_cast<size_t>(number - 1);
    return index / 8 < bits.size() && (bits[index / 8] >> (index % 8)) & 1;
}

}  // namespace

std::optional<int> ClaimNextFree()
{
    auto bits = Load();
    for (int number = 1; number <= kMaxPorts; number++) {
        if (!Get(bits, number)) {
            Set(bits, number, true);
            Store(bits);
            return number;
        }
    }
    return std::nullopt;
}

void Claim(int number)
{
    if (number < 1 || number > kMaxPorts)
        return;
    auto bits = Load();
    Set(bits, number, true);
    Store(bits);
}

void Release(int number)
{
    if (number < 1 || number > kMaxPorts)
        return;
    auto bits = Load();
    Set(bits, number, false);
    Store(bits);
}

bool InUse(int number) { return number >= 1 && number <= kMaxPorts && Get(Load(), number); }

std::optional<int> PortNumber(std::string_view name)
{
    if (name.size() < 4 || !EqualNoCase(name.substr(0, 3), "COM"))
        return std::nullopt;
    int number = 0;
    for (char c : name.substr(3)) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || number > kMaxPorts)
            return std::nullopt;
        number = number * 10 + (c - '0');
    }
    if (number < 1 || number > kMaxPorts)
        return std::nullopt;
    return number;
}

}  // namespace winsim::setup::comdb
