#include "app/QipSettings.h"

#include "app/Qip.h"
#include "app/QipController.h"

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
    return settings;
}

QipSettings QipSettings::FromPropertyList(const QByteArray& bytes, const QString& executableName) {
    return FromBundle(QipBundle::FromPropertyList(bytes, QString(), executableName));
}
