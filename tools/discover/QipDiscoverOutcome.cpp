#include "tools/discover/QipDiscoverOutcome.h"

const long long QipDiscoverOutcome::cShortListenMs;

int QipDiscoverOutcome::ChooseToOpen(const std::vector<DeviceDescriber::Description>& devices,
                                     const std::vector<std::string>& waitFor,
                                     std::string& reason) {
    if (waitFor.size() == 1) {
        for (size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].mDeviceId == waitFor[0]) return static_cast<int>(i);
        }
        reason = "the device --wait-for names was not found";
        return -1;
    }
    if (devices.size() == 1) return 0;
    reason = std::to_string(devices.size()) + " devices found and " +
             (waitFor.empty() ? std::string("no --wait-for names one")
                              : "--wait-for names " + std::to_string(waitFor.size()));
    return -1;
}

std::string QipDiscoverOutcome::ShortListenText(long long listenedMs) {
    if (listenedMs >= cShortListenMs) return std::string();
    return "Listened for only " + std::to_string(listenedMs < 0 ? 0 : listenedMs) +
           " ms, too short to hear any answer: give --wait 1 or more (3 by default).\n";
}
