#include <gtest/gtest.h>

#include <QDateTime>
#include <QTranslator>

#include <unicode/timezone.h>

#include <memory>

#include "app/QipAboutDate.h"
#include "tests/app/AppTestSupport.h"

TEST(QipBundleProperties, EveryKindOfValueBecomesItsVariantAndOtherTextIsRefused) {
    QVariantMap info;
    ASSERT_TRUE(QipBundle::ParsePropertyList(R"(<plist version="1.0"><dict>
        <key>CFBundleName</key><string>Qip &amp; Finder äö</string>
        <key>On</key><true/>
        <key>QipTimeout</key><integer>12</integer>
        <key>Ratio</key><real>7.5</real>
        <key>DeviceKennung</key><array><string>Cam</string><string>Plug</string></array>
        <key>Nested</key><dict><key>Inner</key><false/></dict>
        <key>When</key><date>2001-01-02T00:00:00Z</date>
        </dict></plist>)", &info));
    EXPECT_EQ(info.value("CFBundleName"), QVariant(QString::fromUtf8("Qip & Finder äö")));
    EXPECT_EQ(info.value("On"), QVariant(true));
    EXPECT_EQ(info.value("QipTimeout").toLongLong(), 12);
    EXPECT_DOUBLE_EQ(info.value("Ratio").toDouble(), 7.5);
    EXPECT_EQ(info.value("DeviceKennung"), QVariant(QVariantList{"Cam", "Plug"}));
    EXPECT_EQ(info.value("Nested").toMap().value("Inner"), QVariant(false));
    EXPECT_EQ(info.value("When").toDateTime(), QDateTime(QDate(2001, 1, 2), QTime(0, 0), Qt::UTC));
    for (const char* text : {"", "not a property list", "<plist><array/></plist>",
                             "<plist><dict><key>a</key>"}) {
        EXPECT_FALSE(QipBundle::ParsePropertyList(text, &info)) << text;
        EXPECT_TRUE(info.isEmpty());
    }
}

TEST(QipAboutDate, OnlyAYearMonthDayVersionIsADateAndItsDayNeverShifts) {
    EXPECT_EQ(QipAboutDateText("1.2.3", "en_US"), "1.2.3");
    EXPECT_EQ(QipAboutDateText("2026-02-30", "en_US"), "2026-02-30");
    EXPECT_EQ(QipAboutDateText("26-12-07", "en_US"), "26-12-07");
    // Midnight must not slip into the day before in zones west of UTC.
    std::unique_ptr<icu::TimeZone> saved(icu::TimeZone::createDefault());
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("America/Los_Angeles"));
    const QString newYear = QipAboutDateText("2024-01-01", "en_US");
    icu::TimeZone::adoptDefault(saved.release());
    EXPECT_EQ(newYear, "Jan 1, 2024");
    EXPECT_EQ(QipDateLocaleName("de_DE.UTF-8@euro", "fr_FR", "en_GB"), "de_DE");
    EXPECT_EQ(QipDateLocaleName("", nullptr, "en_GB.UTF-8"), "en_GB");
    EXPECT_EQ(QipDateLocaleName(nullptr, nullptr, "C.UTF-8"), "en_US_POSIX");
}

TEST(QipTranslations, BothLanguagesTranslateEveryMessageKey) {
    EnsureApplication();
    for (const char* language : {"en", "de"}) {
        QTranslator translator;
        ASSERT_TRUE(translator.load(QString("qipfinder_") + language, QIPFINDER_BUNDLE_DIR));
        for (const char* key : {"Suche", "Choose", "Fehler"}) {
            const QString text = translator.translate("QipController", key);
            EXPECT_TRUE(!text.isEmpty() && text != key) << language << " " << key;
        }
    }
}
