#include "app/QipSettings.h"

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
    for (const QVariant& entry : setting.toList()) {
        if (entry.typeId() != QMetaType::QString && setting.typeId() == QMetaType::QVariantList) {
            std::fprintf(stderr, "%s: an entry that is no text is skipped\n", key);
            continue;
        }
        const std::string text = entry.toString().toStdString();
        QipProbeTarget target;
        std::string error;
        if (!QipProbeTarget::Parse(text, target, error)) {
            std::fprintf(stderr, "%s: '%s' skipped: %s\n", key, text.c_str(), error.c_str());
            continue;
        }
        targets.append(entry.toString());
    }
    return targets;
}
