#pragma once

#include <QString>
#include <QVariant>

#include <string>

// The version line of the About box. CFBundleVersion holds the release date as
// year-month-day (four, two and two digits); people read it best as a date of their locale.

// The date of a version of the form YYYY-MM-DD, formatted in the medium date style of the
// ICU locale named localeName (e.g. "de_DE", "en_US"), or the version text unchanged when it
// is no such date, or the empty text when version is invalid (the key is absent). Pure.
QString QipAboutDateText(const QVariant& version, const std::string& localeName);

// The ICU locale name for dates of the user: the first of LC_ALL, LC_TIME and LANG that is set,
// without encoding or modifier ("de_DE.UTF-8@euro" gives "de_DE"); "C", "POSIX" and nothing
// give "en_US_POSIX". Pure: the caller hands in the three environment values (null if unset).
std::string QipDateLocaleName(const char* lcAll, const char* lcTime, const char* lang);
