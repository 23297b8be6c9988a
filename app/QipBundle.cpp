#include "app/QipBundle.h"

#include <plist/plist.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct CFree {
    void operator()(char* text) const { std::free(text); }
};

QVariant ToVariant(plist_t node);

QVariantMap ToMap(plist_t dict) {
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
        map.insert(QString::fromUtf8(key.get()), ToVariant(value));
    }
    std::free(iter);
    return map;
}

QVariant ToVariant(plist_t node) {
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
            list.append(ToVariant(plist_array_get_item(node, i)));
        }
        return QVariant(list);
    }
    case PLIST_DICT:
        return QVariant(ToMap(node));
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
    if (!xml.isEmpty()) {
        plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &raw);
    }
    PlistPtr root(raw);
    if (!root || plist_get_node_type(raw) != PLIST_DICT) {
        return false;
    }
    *info = ToMap(raw);
    return true;
}

QipBundle QipBundle::MainBundle() {
    const QString executable = QCoreApplication::applicationFilePath();
    const QString folder = QDir::cleanPath(QFileInfo(executable).absolutePath() +
                                           QStringLiteral("/../share/qipfinder"));
    const QString name = QFileInfo(executable).fileName();
    QFile file(folder + QStringLiteral("/Info.plist"));
    QVariantMap info;
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "Cannot read %s\n", qPrintable(file.fileName()));
    } else if (!ParsePropertyList(file.readAll(), &info)) {
        std::fprintf(stderr, "No property list dictionary in %s\n", qPrintable(file.fileName()));
    }
    return QipBundle(info, folder, name);
}

QVariant QipBundle::objectForInfoDictionaryKey(const QString& key) const {
    return mInfo.value(key);
}

QString QipBundle::resourcePath() const { return mResourcePath; }

QString QipBundle::executableName() const { return mExecutableName; }
