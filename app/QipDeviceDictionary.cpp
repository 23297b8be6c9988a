#include "app/QipDeviceDictionary.h"

#include <QString>

#include <map>
#include <string>

namespace {

QString Text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

QVariantList QipDeviceDictionaries(const std::vector<DeviceDescriber::Description>& descriptions,
                                   const std::vector<QipDevice>& snapshot) {
    std::map<std::string, time_t> lastAnswer;
    for (const QipDevice& entry : snapshot) {
        time_t& latest = lastAnswer[entry.GetDeviceId()];
        if (entry.GetLastResponseMonotonic() > latest) latest = entry.GetLastResponseMonotonic();
    }
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
        dictionaries.append(dictionary);
    }
    return dictionaries;
}
