#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QTranslator>

#include <unicode/timezone.h>

#include <memory>

#include "app/QipAboutDate.h"
#include "app/QipBundle.h"
#include "tests/app/AppTestSupport.h"

namespace {

QByteArray Plist(const QByteArray& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
           "\n</plist>\n";
}

}  // namespace

TEST(QipBundleProperties, EveryKindOfValueBecomesItsVariant) {
    QVariantMap info;
    ASSERT_TRUE(QipBundle::ParsePropertyList(Plist(R"(<dict>
        <key>CFBundleName</key><string>Qip &amp; Finder äö</string>
        <key>On</key><true/>
        <key>Off</key><false/>
        <key>QipTimeout</key><integer>12</integer>
        <key>Ratio</key><real>7.5</real>
        <key>DeviceKennung</key><array><string>Cam</string><string>Plug</string></array>
        <key>Nested</key><dict><key>Inner</key><integer>3</integer></dict>
        <key>When</key><date>2001-01-02T00:00:00Z</date>
        </dict>)"), &info));
    EXPECT_EQ(info.value("CFBundleName"), QVariant(QString::fromUtf8("Qip & Finder äö")));
    EXPECT_EQ(info.value("On"), QVariant(true));
    EXPECT_EQ(info.value("Off"), QVariant(false));
    EXPECT_EQ(info.value("QipTimeout").toLongLong(), 12);
    EXPECT_DOUBLE_EQ(info.value("Ratio").toDouble(), 7.5);
    EXPECT_EQ(info.value("DeviceKennung"), QVariant(QVariantList{"Cam", "Plug"}));
    EXPECT_EQ(info.value("Nested").toMap().value("Inner").toLongLong(), 3);
    EXPECT_EQ(info.value("When").toDateTime(), QDateTime(QDate(2001, 1, 2), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(info.size(), 8);
}

TEST(QipBundleProperties, TextWithoutADictionaryIsRefused) {
    QVariantMap info{{"stale", 1}};
    for (const QByteArray& text : {QByteArray(), QByteArray("not a property list"),
                                   Plist("<array><string>a</string></array>"),
                                   QByteArray("<plist><dict><key>a</key>")}) {
        EXPECT_FALSE(QipBundle::ParsePropertyList(text, &info)) << text.toStdString();
        EXPECT_TRUE(info.isEmpty());
    }
}

TEST(QipAboutDate, ReleaseDateFollowsTheLocale) {
    EXPECT_EQ(QipAboutDateText("2026-12-07", "en_US"), "Dec 7, 2026");
    EXPECT_EQ(QipAboutDateText("2026-12-07", "de_DE"), "07.12.2026");
    // Midnight must not slip into the day before in zones west of UTC.
    std::unique_ptr<icu::TimeZone> saved(icu::TimeZone::createDefault());
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("America/Los_Angeles"));
    const QString newYear = QipAboutDateText("2024-01-01", "en_US");
    icu::TimeZone::adoptDefault(saved.release());
    EXPECT_EQ(newYear, "Jan 1, 2024");
}

TEST(QipAboutDate, OtherVersionsShowAsTheyStand) {
    EXPECT_EQ(QipAboutDateText("1.2.3", "en_US"), "1.2.3");
    EXPECT_EQ(QipAboutDateText("2026-02-30", "en_US"), "2026-02-30");
    EXPECT_EQ(QipAboutDateText("26-12-07", "en_US"), "26-12-07");
    EXPECT_EQ(QipAboutDateText("2026-12-07 ", "en_US"), "2026-12-07 ");
    EXPECT_EQ(QipAboutDateText(QVariant(), "en_US"), "");
}

TEST(QipAboutDate, LocaleComesFromTheFirstSetVariable) {
    EXPECT_EQ(QipDateLocaleName("de_DE.UTF-8@euro", "fr_FR", "en_GB"), "de_DE");
    EXPECT_EQ(QipDateLocaleName("", "fr_FR.UTF-8", "en_GB"), "fr_FR");
    EXPECT_EQ(QipDateLocaleName(nullptr, nullptr, "en_GB.UTF-8"), "en_GB");
    EXPECT_EQ(QipDateLocaleName(nullptr, nullptr, "C.UTF-8"), "en_US_POSIX");
    EXPECT_EQ(QipDateLocaleName(nullptr, nullptr, nullptr), "en_US_POSIX");
}

TEST(QipTranslations, BothLanguagesTranslateEveryMessageKey) {
    EnsureApplication();
    for (const char* language : {"en", "de"}) {
        QTranslator translator;
        ASSERT_TRUE(translator.load(QString("qipfinder_") + language, QIPFINDER_BUNDLE_DIR));
        for (const char* key : {"Suche", "Choose", "Fehler"}) {
            const QString text = translator.translate("QipController", key);
            EXPECT_FALSE(text.isEmpty()) << language << " " << key;
            EXPECT_NE(text, key) << language << " " << key;
        }
    }
}
