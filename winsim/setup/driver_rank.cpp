// Identifier scores (see driver_rank.h).
#include "driver_rank.h"

#include "inf_file.h"

#include <algorithm>

namespace winsim::setup {

std::optional<uint32_t> IdentifierScore(const std::vector<std::string> &modelIds, const DeviceIds &device,
                                        std::string *matchedId)
{
    std::optional<uint32_t> best;
    auto consider = [&](uint32_t score, const std::string &id) {
        if (!best || score < *best) {
            best = score;
            *matchedId = id;
        }
    };
    for (size_t m = 0; m < modelIds.size(); m++) {
        if (modelIds[m].empty())
            continue;
        bool modelHardwareId = m == 0;
        for (size_t d = 0; d < device.hardware.size(); d++)
            if (EqualNoCase(device.hardware[d], modelIds[m]))
                consider((modelHardwareId ? 0x0000u : 0x1000u) + std::min<uint32_t>(d, 0xFFF), device.hardware[d]);
        for (size_t d = 0; d < device.compatible.size(); d++)
            if (EqualNoCase(device.compatible[d], modelIds[m]))
                consider(modelHardwareId ? 0x2000u + std::min<uint32_t>(d, 0xFFF)
                                         : 0x3000u + std::min<uint32_t>(d + m - 1, 0xFFF),
                         device.compatible[d]);
    }
    return best;
}

}  // namespace winsim::setup
