#include "app/QipDeviceDictionary.h"

#include <QString>

#include <algorithm>
#include <string>
#include <unordered_map>

namespace {

QString Text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::unordered_map<std::string, time_t> LastAnswers(const std::vector<QipDevice>& snapshot) {
    std::unordered_map<std::string, time_t> lastAnswer;
    lastAnswer.reserve(snapshot.size());
    for (const QipDevice& entry : snapshot) {
        time_t& latest = lastAnswer[entry.GetDeviceId()];
        if (entry.GetLastResponseMonotonic() > latest) latest = entry.GetLastResponseMonotonic();
    }
    return lastAnswer;
}

}  // namespace

std::vector<std::string> QipHeardKeys(
    const std::vector<DeviceDescriber::Description>& descriptions,
    const std::vector<QipDevice>& snapshot) {
    const std::unordered_map<std::string, time_t> lastAnswer = LastAnswers(snapshot);
    std::vector<std::string> keys;
    keys.reserve(descriptions.size());
    for (const DeviceDescriber::Description& d : descriptions) {
        const auto found = lastAnswer.find(d.mDeviceId);
        std::string key;
        for (const std::string* part : {&d.mDeviceType, &d.mDeviceId, &d.mSsid, &d.mDeviceIp,
                                        &d.mDisplayString, &d.mPageOutcome}) {
            key += std::to_string(part->size());
            key += ':';
            key += *part;
        }
        key += std::to_string(found == lastAnswer.end() ? 0 : found->second);
        keys.push_back(std::move(key));
    }
    return keys;
}

QVariantList QipDeviceDictionaries(const std::vector<DeviceDescriber::Description>& descriptions,
                                   const std::vector<QipDevice>& snapshot,
                                   const std::vector<std::string>* wantedTypes) {
    const std::unordered_map<std::string, time_t> lastAnswer = LastAnswers(snapshot);
    QVariantList dictionaries;
    for (const DeviceDescriber::Description& d : descriptions) {
        QVariantMap dictionary;
        dictionary.insert(QStringLiteral("DeviceType"), Text(d.mDeviceType));
        dictionary.insert(QStringLiteral("DeviceId"), Text(d.mDeviceId));
        dictionary.insert(QStringLiteral("SSID"), Text(d.mSsid));
        dictionary.insert(QStringLiteral("DeviceIP"), Text(d.mDeviceIp));
        dictionary.insert(QStringLiteral("DisplayString"), Text(d.mDisplayString));
        dictionary.insert(QStringLiteral("PageOutcome"), Text(d.mPageOutcome));
        if (!d.mHelloNote.empty()) {
            dictionary.insert(QStringLiteral("HelloNote"), Text(d.mHelloNote));
        }
        const auto found = lastAnswer.find(d.mDeviceId);
        dictionary.insert(QStringLiteral("LastAnswer"),
                          static_cast<qlonglong>(found == lastAnswer.end() ? 0 : found->second));
        if (wantedTypes != nullptr &&
            std::find(wantedTypes->begin(), wantedTypes->end(), d.mDeviceType) ==
                wantedTypes->end()) {
            dictionary.insert(QStringLiteral("OtherType"), true);
        }
        dictionaries.append(dictionary);
    }
    return dictionaries;
}
