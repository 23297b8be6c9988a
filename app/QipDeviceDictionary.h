#pragma once

#include <QVariantList>
#include <QVariantMap>

#include <string>
#include <vector>

#include "describe/DeviceDescriber.h"
#include "qip/QipDevice.h"

// The device dictionaries a search hands to its delegate: the five values "DeviceType",
// "DeviceId", "SSID", "DeviceIP" and "DisplayString" (texts; bytes that are not UTF-8 become
// U+FFFD), and for the window's table "PageOutcome" (how reading the status page ended, as
// DeviceDescriber::Description says: "ok", "timeout", "skipped" when it was not read, ...)
// "HelloNote" (only when the hello disagreed with its network, as DeviceDescriber says)
// and "LastAnswer" (the monotonic second, KspMonotonicSeconds, of the latest answer from the
// device among the snapshot's entries of its id); with `wantedTypes` given, a device of
// none of those types also has "OtherType" true. Pure.
QVariantList QipDeviceDictionaries(const std::vector<DeviceDescriber::Description>& descriptions,
                                   const std::vector<QipDevice>& snapshot,
                                   const std::vector<std::string>* wantedTypes = nullptr);
// One text per description holding everything its dictionary would, in order: two lists
// of keys are equal exactly when their dictionaries would be. Pure and much cheaper.
std::vector<std::string> QipHeardKeys(
    const std::vector<DeviceDescriber::Description>& descriptions,
    const std::vector<QipDevice>& snapshot);
