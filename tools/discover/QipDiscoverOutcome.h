#pragma once

#include <string>
#include <vector>

#include "describe/DeviceDescriber.h"

// What qip-discover concludes once it has listened: which page --open opens, and when a
// search that heard nothing was simply too short to hear anything. Pure.
class QipDiscoverOutcome {
public:
    // Below this, an empty result says more about the listening time than about the network:
    // devices answer a broadcast within a round trip, but the first broadcast may not have
    // left yet (--wait 0) and a device in a busy network may take some hundred milliseconds.
    static const long long cShortListenMs = 1000;

    // The index in `devices` of the device whose page --open opens: the device --wait-for
    // named when it named exactly one, else the only device found. -1 when there is no such
    // single device, with `reason` saying why ("2 devices found and no --wait-for names one").
    static int ChooseToOpen(const std::vector<DeviceDescriber::Description>& devices,
                            const std::vector<std::string>& waitFor, std::string& reason);
    // For a search that heard no device at all after `listenedMs`: the explanation when that
    // time was too short (one line ending in "\n"), else empty.
    static std::string ShortListenText(long long listenedMs);
};
