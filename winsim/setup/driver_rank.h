// How well an INF Models entry fits a device: the identifier score of
// Windows' driver rank (lower is better). A device hardware ID matching the
// entry's hardware ID beats one matching a compatible ID of the entry, which
// beats the device's compatible IDs; within each kind, the earlier ID in the
// device's list wins.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/identifier-score--windows-vista-and-later-
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim::setup {

struct DeviceIds {
    std::vector<std::string> hardware;    // most specific first
    std::vector<std::string> compatible;
};

// modelIds: the entry's hardware ID followed by its compatible IDs.
std::optional<uint32_t> IdentifierScore(const std::vector<std::string> &modelIds, const DeviceIds &device,
                                        std::string *matchedId);

}  // namespace winsim::setup
