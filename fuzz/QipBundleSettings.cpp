// The bundle's Info.plist, from disk: any bytes turned into the controller's settings by the
// function the program starts with. Never a crash, and every setting is its documented
// default or a value of its documented type (docs/app.md).
#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <cmath>

#include "app/QipAboutDate.h"
#include "app/QipBundle.h"
#include "app/QipSettings.h"
#include "fuzz/FuzzCheck.h"

namespace {

bool IsNumber(const QVariant& value) {
    return value.typeId() == QMetaType::LongLong || value.typeId() == QMetaType::Double;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    const QByteArray xml(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // What the program makes of the file, through the one function its start-up uses.
    const QipSettings settings = QipSettings::FromPropertyList(xml, QStringLiteral("qipfinder"));

    // What the file holds, for the expectations.
    QVariantMap info;
    info.insert(QStringLiteral("stale"), 1);
    if (!QipBundle::ParsePropertyList(xml, &info)) FUZZ_CHECK(info.isEmpty());

    const QVariant name = info.value(QStringLiteral("CFBundleName"));
    const QString programName = name.typeId() == QMetaType::QString && !name.toString().isEmpty()
                                    ? name.toString()
                                    : QStringLiteral("qipfinder");
    FUZZ_CHECK(settings.mProgramName == programName);

    const QVariant kennung = info.value(QStringLiteral("DeviceKennung"));
    bool allTexts = kennung.typeId() == QMetaType::QVariantList && !kennung.toList().isEmpty();
    QStringList texts;
    for (const QVariant& element : kennung.toList()) {
        allTexts = allTexts && element.typeId() == QMetaType::QString;
        texts.append(element.toString());
    }
    FUZZ_CHECK(settings.mDeviceKennungen == (allTexts ? texts : QStringList{programName}));

    struct BoolKey {
        const char* mKey;
        bool mDefault;
        bool mValue;
    };
    const BoolKey cKeys[] = {{"TerminateAfterLastItem", true, settings.mTerminateAfterLastItem},
                             {"TerminateAfterConfigure", false, settings.mTerminateAfterConfigure},
                             {"RemoveAfterConfigure", true, settings.mRemoveAfterConfigure}};
    for (const BoolKey& key : cKeys) {
        const QVariant setting = info.value(QString::fromLatin1(key.mKey));
        // A text is read by its first significant character; a setting that is absent or
        // of another kind gives the default.
        if (setting.typeId() == QMetaType::Bool) {
            FUZZ_CHECK(key.mValue == setting.toBool());
        } else if (IsNumber(setting)) {
            FUZZ_CHECK(key.mValue == (setting.toDouble() != 0));
        } else if (setting.typeId() != QMetaType::QString) {
            FUZZ_CHECK(key.mValue == key.mDefault);
        }
    }

    const QVariant timeout = info.value(QStringLiteral("QipTimeout"));
    FUZZ_CHECK(settings.mIntervalSeconds >= 1);
    if (!timeout.isValid()) FUZZ_CHECK(settings.mIntervalSeconds == 10);
    if (IsNumber(timeout) && timeout.toDouble() >= 1 && timeout.toDouble() < 86400)
        FUZZ_CHECK(settings.mIntervalSeconds == static_cast<int>(std::trunc(timeout.toDouble())));
    if (IsNumber(timeout) && !(timeout.toDouble() >= 1)) FUZZ_CHECK(settings.mIntervalSeconds == 10);

    QipAboutDateText(settings.mVersion, "de_DE.UTF-8");
    return 0;
}
