#include "app/QipSettings.h"

#include <QSet>

#include "app/Qip.h"
#include "app/QipController.h"
#include "qip/QipProbeTarget.h"

#include <cstdio>

QipSettings QipSettings::FromBundle(const QipBundle& bundle) {
    QipSettings settings;
    const QVariant name = bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleName"));
    // Without a bundle name the executable's own name keeps the menus and the default device
    // type meaningful.
    settings.mProgramName = name.typeId() == QMetaType::QString && !name.toString().isEmpty()
                                ? name.toString()
                                : bundle.executableName();
    settings.mDeviceKennungen = QipController::DeviceKennungenFrom(
        bundle.objectForInfoDictionaryKey(QStringLiteral("DeviceKennung")), settings.mProgramName);
    settings.mTerminateAfterLastItem = QipController::BoolSetting(
        bundle.objectForInfoDictionaryKey(QStringLiteral("TerminateAfterLastItem")), true,
        "TerminateAfterLastItem");
    settings.mTerminateAfterConfigure = QipController::BoolSetting(
        bundle.objectForInfoDictionaryKey(QStringLiteral("TerminateAfterConfigure")), false,
        "TerminateAfterConfigure");
    settings.mRemoveAfterConfigure = QipController::BoolSetting(
        bundle.objectForInfoDictionaryKey(QStringLiteral("RemoveAfterConfigure")), true,
        "RemoveAfterConfigure");
    settings.mTimeout = bundle.objectForInfoDictionaryKey(QStringLiteral("QipTimeout"));
    if (!settings.mTimeout.isValid()) {
        settings.mTimeout = QVariant(10);
    }
    settings.mIntervalSeconds = Qip::IntervalSecondsFor(settings.mTimeout);
    settings.mVersion = bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion"));
    settings.mProbeTargets =
        ProbeTargetsFrom(bundle.objectForInfoDictionaryKey(QStringLiteral("QipProbeTargets")));
    settings.mKnownDevices = QipController::BoolSetting(
        bundle.objectForInfoDictionaryKey(QStringLiteral("QipKnownDevices")), true, "QipKnownDevices");
    return settings;
}

QipSettings QipSettings::FromPropertyList(const QByteArray& bytes, const QString& executableName) {
    return FromBundle(QipBundle::FromPropertyList(bytes, QString(), executableName));
}

QStringList QipSettings::ProbeTargetsFrom(const QVariant& setting, const char* key) {
    QStringList targets;
    if (!setting.isValid()) {
        return targets;
    }
    if (setting.typeId() != QMetaType::QVariantList && setting.typeId() != QMetaType::QStringList) {
        std::fprintf(stderr, "%s is not an array of texts; no network is probed\n", key);
        return targets;
    }
    // A settings file may hold any number of entries: each is looked at once (a set for the
    // repeats), and what is wrong is told in one line per kind, not one per entry.
    QSet<QString> seen;
    qsizetype notText = 0;
    qsizetype bad = 0;
    qsizetype beyond = 0;
    std::string firstBad;
    for (const QVariant& entry : setting.toList()) {
        if (entry.typeId() != QMetaType::QString && setting.typeId() == QMetaType::QVariantList) {
            ++notText;
            continue;
        }
        const QString text = entry.toString();
        if (seen.contains(text)) {
            continue;
        }
        QipProbeTarget target;
        std::string error;
        if (!QipProbeTarget::Parse(text.toStdString(), target, error)) {
            if (bad++ == 0) {
                firstBad = "'" + text.toStdString() + "' skipped: " + error;
            }
            continue;
        }
        seen.insert(text);
        if (targets.size() >= cMaxProbeTargets) {
            ++beyond;
            continue;
        }
        targets.append(text);
    }
    if (notText > 0) {
        std::fprintf(stderr, "%s: %lld entries that are no text skipped\n", key,
                     static_cast<long long>(notText));
    }
    if (bad == 1) {
        std::fprintf(stderr, "%s: %s\n", key, firstBad.c_str());
    } else if (bad > 1) {
        std::fprintf(stderr, "%s: %lld entries skipped that are no target, the first %s\n", key,
                     static_cast<long long>(bad), firstBad.c_str());
    }
    if (beyond > 0) {
        std::fprintf(stderr, "%s: only the first %d networks are searched; %lld more ignored\n",
                     key, static_cast<int>(cMaxProbeTargets), static_cast<long long>(beyond));
    }
    return targets;
}
