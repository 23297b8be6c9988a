// The bundle's Info.plist, from disk: any bytes read by QipBundle and turned into the
// settings the controller uses. Never a crash, and every setting is its documented default
// or a value of its documented type (docs/app.md).
#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <cmath>

#include "app/Qip.h"
#include "app/QipAboutDate.h"
#include "app/QipBundle.h"
#include "app/QipController.h"
#include "fuzz/FuzzCheck.h"

namespace {

bool IsNumber(const QVariant& value) {
    return value.typeId() == QMetaType::LongLong || value.typeId() == QMetaType::Double;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    const QByteArray xml(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QVariantMap info;
    info.insert(QStringLiteral("stale"), 1);
    if (!QipBundle::ParsePropertyList(xml, &info)) FUZZ_CHECK(info.isEmpty());
    const QipBundle bundle(info, QStringLiteral("/nonexistent"), QStringLiteral("qipfinder"));

    // The controller's reading of each setting, as its constructor and launch do it.
    const QVariant name = bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleName"));
    const QString programName = name.typeId() == QMetaType::QString && !name.toString().isEmpty()
                                    ? name.toString()
                                    : bundle.executableName();
    FUZZ_CHECK(!programName.isEmpty());

    const QVariant kennung = bundle.objectForInfoDictionaryKey(QStringLiteral("DeviceKennung"));
    const QStringList types = QipController::DeviceKennungenFrom(kennung, programName);
    bool allTexts = kennung.typeId() == QMetaType::QVariantList && !kennung.toList().isEmpty();
    QStringList texts;
    for (const QVariant& element : kennung.toList()) {
        allTexts = allTexts && element.typeId() == QMetaType::QString;
        texts.append(element.toString());
    }
    FUZZ_CHECK(allTexts ? types == texts : types == QStringList{programName});

    const char* const cKeys[] = {"TerminateAfterLastItem", "TerminateAfterConfigure", "RemoveAfterConfigure"};
    for (const char* key : cKeys) {
        const QVariant setting = bundle.objectForInfoDictionaryKey(QString::fromLatin1(key));
        const bool asTrue = QipController::BoolSetting(setting, true, key);
        const bool asFalse = QipController::BoolSetting(setting, false, key);
        // A setting that is absent or of another kind gives the default, whatever it is.
        if (!setting.isValid()) FUZZ_CHECK(asTrue && !asFalse);
        if (setting.typeId() == QMetaType::Bool) FUZZ_CHECK(asTrue == setting.toBool() && asFalse == asTrue);
        if (IsNumber(setting)) FUZZ_CHECK(asTrue == (setting.toDouble() != 0) && asFalse == asTrue);
    }

    QVariant timeout = bundle.objectForInfoDictionaryKey(QStringLiteral("QipTimeout"));
    if (!timeout.isValid()) timeout = QVariant(10);
    const Qip search(nullptr, types, timeout);
    const int seconds = search.intervalSeconds();
    FUZZ_CHECK(seconds >= 1);
    if (IsNumber(timeout) && timeout.toDouble() >= 1 && timeout.toDouble() < 86400)
        FUZZ_CHECK(seconds == static_cast<int>(std::trunc(timeout.toDouble())));
    if (IsNumber(timeout) && !(timeout.toDouble() >= 1)) FUZZ_CHECK(seconds == 10);

    const QVariant version = bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion"));
    QipAboutDateText(version, "de_DE.UTF-8");
    return 0;
}
