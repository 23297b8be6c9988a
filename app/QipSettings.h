#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "app/QipBundle.h"

// What the bundle's information dictionary makes of the program: every setting the
// controller reads, each already its documented default or a value of its documented type.
// A plain value; the functions are pure but for one line on standard error per unusable
// setting, and need no QCoreApplication.
struct QipSettings {
    // The bundle name, else the executable's file name.
    QString mProgramName;
    // Never empty: DeviceKennung's texts, else the program name alone.
    QStringList mDeviceKennungen;
    bool mTerminateAfterLastItem = true;
    bool mTerminateAfterConfigure = false;
    bool mRemoveAfterConfigure = true;
    // QipTimeout as it stands, 10 when absent: handed on unchanged to the search.
    QVariant mTimeout;
    // The poll interval the search makes of mTimeout: whole seconds, 1 to INT_MAX / 1000.
    int mIntervalSeconds = 10;
    // CFBundleVersion as it stands (invalid when absent), for the About box.
    QVariant mVersion;
    // QipProbeTargets: the site's fixed networks to probe beyond the broadcast domain, each a
    // well-formed address, range or host name (names are looked up when the search starts).
    QStringList mProbeTargets;
    // QipKnownDevices: whether the user's store of known devices is read and written.
    bool mKnownDevices = true;

    // The most networks a program searches beyond the broadcast domain.
    static constexpr qsizetype cMaxProbeTargets = 1024;
    // The usable entries of a QipProbeTargets setting, in order, each once and at most
    // cMaxProbeTargets of them: an array of texts, each checked as qip-discover --probe
    // checks its argument. Entries that are no text or no target, or a setting that is no
    // array, are skipped with one line on standard error per kind (not per entry); so are
    // the entries past the limit. Linear in the number of entries.
    static QStringList ProbeTargetsFrom(const QVariant& setting,
                                        const char* key = "QipProbeTargets");

    // The settings of a bundle.
    static QipSettings FromBundle(const QipBundle& bundle);
    // The settings that the bytes of an Info.plist give a program whose executable is named
    // executableName: any bytes are safe (no dictionary means every default).
    static QipSettings FromPropertyList(const QByteArray& bytes, const QString& executableName);
};
