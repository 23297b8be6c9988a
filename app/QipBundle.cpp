#include "app/QipBundle.h"

#include "app/QipPropertyListBound.h"

#include <plist/plist.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <locale.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Deeper containers are dropped: the conversion recurses once per level, and a hostile file
// of a hundred thousand nested arrays would otherwise run the stack out.
constexpr int cMaxDepth = 64;
// The property list library counts bytes in 32 bits.
constexpr qsizetype cMaxPropertyListBytes = 0x7fffffff;

// The property list library reads <real> with the C library, which follows the locale the
// toolkit has set from the user's environment: "1.5" would be 1 where the decimal mark is a
// comma. The parse runs under the "C" numbers of this thread only, so other threads are not
// disturbed.
class CNumericLocale {
public:
    CNumericLocale()
        : mLocale(newlocale(LC_NUMERIC_MASK, "C", duplocale(uselocale(static_cast<locale_t>(0))))) {
        if (mLocale == static_cast<locale_t>(0)) {
            std::perror("newlocale() failed");
            return;
        }
        mSaved = uselocale(mLocale);
    }
    ~CNumericLocale() {
        if (mLocale != static_cast<locale_t>(0)) {
            uselocale(mSaved);
            freelocale(mLocale);
        }
    }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    locale_t mLocale;
    locale_t mSaved = static_cast<locale_t>(0);
};

// Counts what the depth bound dropped, so one parse says so once.
struct Conversion {
    int mDropped = 0;
};

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct CFree {
    void operator()(char* text) const { std::free(text); }
};

QVariant ToVariant(plist_t node, int depth, Conversion* conversion);

bool TooDeep(plist_t node, int depth, Conversion* conversion) {
    const plist_type type = plist_get_node_type(node);
    if (depth < cMaxDepth || (type != PLIST_ARRAY && type != PLIST_DICT)) {
        return false;
    }
    ++conversion->mDropped;
    return true;
}

QVariantMap ToMap(plist_t dict, int depth, Conversion* conversion) {
    QVariantMap map;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &rawKey, &value);
        std::unique_ptr<char, CFree> key(rawKey);
        if (!key) {
            break;
        }
        if (!TooDeep(value, depth + 1, conversion)) {
            map.insert(QString::fromUtf8(key.get()), ToVariant(value, depth + 1, conversion));
        }
    }
    std::free(iter);
    return map;
}

QVariant ToVariant(plist_t node, int depth, Conversion* conversion) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: {
        // Negative integers arrive as their two's complement.
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return QVariant(static_cast<qlonglong>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return QVariant(QString::fromUtf8(text, static_cast<qsizetype>(length)));
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t size = plist_array_get_size(node);
        for (uint32_t i = 0; i < size; ++i) {
            plist_t item = plist_array_get_item(node, i);
            if (!TooDeep(item, depth + 1, conversion)) {
                list.append(ToVariant(item, depth + 1, conversion));
            }
        }
        return QVariant(list);
    }
    case PLIST_DICT:
        return QVariant(ToMap(node, depth, conversion));
    case PLIST_DATE: {
        // Property list dates count from 2001-01-01 00:00:00 UTC.
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
        return QVariant(epoch.addMSecs(qint64(sec) * 1000 + usec / 1000));
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        std::unique_ptr<char, CFree> data(raw);
        return QVariant(QByteArray(data.get(), static_cast<qsizetype>(length)));
    }
    default:
        return QVariant();
    }
}

}  // namespace

QipBundle::QipBundle(const QVariantMap& info, const QString& resourcePath,
                     const QString& executableName)
    : mInfo(info), mResourcePath(resourcePath), mExecutableName(executableName) {}

bool QipBundle::ParsePropertyList(const QByteArray& xml, QVariantMap* info) {
    info->clear();
    plist_t raw = nullptr;
    if (!xml.isEmpty() && xml.size() <= cMaxPropertyListBytes) {
        const CNumericLocale cNumbers;
        // The root dictionary is level 1 in the file and level 0 in the conversion; the
        // library never meets more than cMaxDepth + 2 levels.
        QByteArray bounded;
        if (QipPropertyListBound::IsBinary(xml)) {
            if (QipPropertyListBound::BoundBinary(xml, cMaxDepth + 1, &bounded)) {
                plist_from_bin(bounded.constData(), static_cast<uint32_t>(bounded.size()), &raw);
            }
        } else if (QipPropertyListBound::BoundXml(xml, cMaxDepth + 1, &bounded) &&
                   bounded.size() <= cMaxPropertyListBytes) {
            plist_from_xml(bounded.constData(), static_cast<uint32_t>(bounded.size()), &raw);
        }
    }
    PlistPtr root(raw);
    if (!root || plist_get_node_type(raw) != PLIST_DICT) {
        return false;
    }
    Conversion conversion;
    *info = ToMap(raw, 0, &conversion);
    if (conversion.mDropped > 0) {
        std::fprintf(stderr, "Property list nested deeper than %d levels; the deeper values are left out\n",
                     cMaxDepth);
    }
    return true;
}

QipBundle QipBundle::FromPropertyList(const QByteArray& bytes, const QString& resourcePath,
                                      const QString& executableName) {
    QVariantMap info;
    if (!ParsePropertyList(bytes, &info)) {
        const QString file = resourcePath.isEmpty() ? QStringLiteral("Info.plist")
                                                    : resourcePath + QStringLiteral("/Info.plist");
        std::fprintf(stderr, "No property list dictionary in %s\n", qPrintable(file));
    }
    return QipBundle(info, resourcePath, executableName);
}

QipBundle QipBundle::MainBundle() {
    const QString executable = QCoreApplication::applicationFilePath();
    const QString folder = QDir::cleanPath(QFileInfo(executable).absolutePath() +
                                           QStringLiteral("/../share/qipfinder"));
    const QString name = QFileInfo(executable).fileName();
    QFile file(folder + QStringLiteral("/Info.plist"));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "Cannot read %s\n", qPrintable(file.fileName()));
        return QipBundle(QVariantMap(), folder, name);
    }
    return FromPropertyList(file.readAll(), folder, name);
}

QVariant QipBundle::objectForInfoDictionaryKey(const QString& key) const {
    return mInfo.value(key);
}

QString QipBundle::resourcePath() const { return mResourcePath; }

QString QipBundle::executableName() const { return mExecutableName; }
