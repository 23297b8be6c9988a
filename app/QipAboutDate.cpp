#include "app/QipAboutDate.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <QDate>
#include <QRegularExpression>

#include <memory>

QString QipAboutDateText(const QVariant& version, const std::string& localeName) {
    if (!version.isValid() || version.isNull()) {
        return QString();
    }
    const QString text = version.toString();
    static const QRegularExpression cDateForm(QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})$"));
    const QRegularExpressionMatch match = cDateForm.match(text);
    if (!match.hasMatch()) {
        return text;
    }
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(),
                     match.captured(3).toInt());
    if (!date.isValid()) {
        return text;
    }
    // Midnight UTC formatted in UTC, so the day never shifts with the machine's time zone.
    const qint64 daysSinceEpoch = date.toJulianDay() - QDate(1970, 1, 1).toJulianDay();
    const UDate when = static_cast<UDate>(daysSinceEpoch) * 86400000.0;
    std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateInstance(
        icu::DateFormat::kMedium, icu::Locale(localeName.c_str())));
    if (!format) {
        return text;
    }
    format->adoptTimeZone(icu::TimeZone::createTimeZone("UTC"));
    icu::UnicodeString formatted;
    format->format(when, formatted);
    return QString(reinterpret_cast<const QChar*>(formatted.getBuffer()), formatted.length());
}

std::string QipDateLocaleName(const char* lcAll, const char* lcTime, const char* lang) {
    std::string name;
    for (const char* value : {lcAll, lcTime, lang}) {
        if (value && *value) {
            name = value;
            break;
        }
    }
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") {
        return "en_US_POSIX";
    }
    return name;
}
