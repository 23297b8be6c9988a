#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// The program's bundle: the folder <folder of the executable>/../share/qipfinder holding the
// information dictionary Info.plist (the program's only configuration) and the compiled
// translations. A plain value, copied freely; used on the main thread.
class QipBundle {
public:
    // An empty dictionary: every setting takes its default.
    QipBundle() = default;
    // A bundle whose dictionary is given (tests fill one this way).
    QipBundle(const QVariantMap& info, const QString& resourcePath, const QString& executableName);
    // A bundle whose dictionary is parsed from the bytes of an Info.plist (ParsePropertyList;
    // bytes that are no dictionary give an empty one, with one line on standard error).
    static QipBundle FromPropertyList(const QByteArray& bytes, const QString& resourcePath,
                                      const QString& executableName);

    // The bundle beside the running executable. Needs a QCoreApplication. A missing or
    // unreadable Info.plist gives an empty dictionary and one line on standard error.
    static QipBundle MainBundle();

    // Turns an XML or binary property list whose root is a dictionary into a map: strings
    // become QString, booleans bool, integers qlonglong, reals double, arrays QVariantList,
    // dictionaries QVariantMap, dates QDateTime (UTC), data QByteArray. Returns false (and
    // leaves *info empty) when the bytes are no property list (XML that is not well-formed
    // included) or its root is no dictionary.
    // Numbers are read the same in every locale. Arrays and dictionaries nested deeper than
    // 64 levels are left out of their parent, with one line on standard error; the rest is
    // kept. Any bytes are safe to pass. Thread-safe: the locale is changed for this thread
    // only, for the duration of the call.
    static bool ParsePropertyList(const QByteArray& xml, QVariantMap* info);

    // The setting stored under key, or an invalid QVariant when there is none.
    QVariant objectForInfoDictionaryKey(const QString& key) const;
    // The whole dictionary.
    QVariantMap infoDictionary() const { return mInfo; }
    // The folder that holds Info.plist and the translations.
    QString resourcePath() const;
    // The file name of the executable; the program name when the bundle names none.
    QString executableName() const;

private:
    QVariantMap mInfo;
    QString mResourcePath;
    QString mExecutableName;
};
