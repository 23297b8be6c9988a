#include <gtest/gtest.h>

#include <QDateTime>
#include <QTranslator>

#include <unicode/timezone.h>

#include <locale.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/QipAboutDate.h"
#include "app/QipSettings.h"
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
        // The help under a failed search is in the user's language too.
        const QString causes = translator.translate("QipHelpText", "Likely causes:");
        EXPECT_EQ(causes, language == std::string("de") ? "Mögliche Ursachen:" : "Likely causes:");
    }
}

namespace {

// A German numeric locale (decimal comma) for this thread. Compiled into a folder of the
// test's own when the machine has none installed, so the check never depends on what the
// machine happens to carry; an empty result fails the test rather than skipping it.
locale_t GermanNumbers(std::string* why) {
    locale_t german = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
    if (german != static_cast<locale_t>(0)) {
        return german;
    }
    const std::string folder = "/tmp/qipfinder-locale-" + std::to_string(getpid());
    const std::string command = "mkdir -p " + folder + " && localedef -c -i de_DE -f UTF-8 " +
                                folder + "/de_DE.UTF-8 >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    setenv("LOCPATH", folder.c_str(), 1);
    german = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
    unsetenv("LOCPATH");
    // A folder left in /tmp does the test no harm.
    (void)!std::system(("rm -rf " + folder).c_str());
    if (german == static_cast<locale_t>(0)) {
        *why = "no de_DE.UTF-8 locale and localedef gave status " + std::to_string(status);
    }
    return german;
}

}  // namespace

TEST(QipBundleProperties, RealNumbersReadTheSameUnderADecimalCommaLocale) {
    std::string why;
    const locale_t german = GermanNumbers(&why);
    ASSERT_NE(german, static_cast<locale_t>(0)) << why;
    const locale_t saved = uselocale(german);
    // The locale really reads a comma; otherwise this test would prove nothing.
    const double commaRead = std::strtod("1,5", nullptr);
    QVariantMap info;
    const bool parsed = QipBundle::ParsePropertyList(
        "<plist><dict><key>QipTimeout</key><real>1.5e1</real>"
        "<key>Half</key><real>0.5</real></dict></plist>",
        &info);
    uselocale(saved);
    freelocale(german);
    EXPECT_EQ(commaRead, 1.5);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(info.value("QipTimeout").toDouble(), 15.0);
    EXPECT_EQ(info.value("Half").toDouble(), 0.5);
}

TEST(QipBundleProperties, DeepNestingIsCutAndTheOtherKeysAreKept) {
    // A hundred thousand nested arrays under one key once ran the conversion's stack out; a
    // million ran the property list library's own parser out.
    const int levels = 1000000;
    QByteArray xml = "<plist><dict><key>CFBundleName</key><string>Deep</string>"
                     "<key>Nest</key>";
    xml += QByteArray("<array>").repeated(levels) + QByteArray("</array>").repeated(levels);
    xml += "<key>QipTimeout</key><integer>3</integer></dict></plist>";
    const QipSettings settings = QipSettings::FromPropertyList(xml, "qipfinder");
    EXPECT_EQ(settings.mProgramName, "Deep");
    EXPECT_EQ(settings.mIntervalSeconds, 3);
    QVariantMap info;
    ASSERT_TRUE(QipBundle::ParsePropertyList(xml, &info));
    int depth = 0;
    for (QVariant nest = info.value("Nest"); nest.typeId() == QMetaType::QVariantList;
         nest = nest.toList().value(0)) {
        ++depth;
    }
    EXPECT_EQ(depth, 63);
    // Comments and text that only look like containers are neither counted nor changed.
    ASSERT_TRUE(QipBundle::ParsePropertyList(
        "<plist><dict><!-- <array> --><key>A</key><string>&lt;array&gt;</string>"
        "<key>B</key><array><dict/><array/></array></dict></plist>",
        &info));
    EXPECT_EQ(info.value("A"), QVariant("<array>"));
    EXPECT_EQ(info.value("B"), QVariant(QVariantList{QVariantMap(), QVariantList()}));
    // Many shallow arrays side by side are no deep nesting: each keeps its value.
    QByteArray wide = "<plist><dict>";
    for (int i = 0; i < 70; ++i) {
        wide += "<key>K" + QByteArray::number(i) + "</key><array><string>v" + QByteArray::number(i) +
                "</string></array>";
    }
    ASSERT_TRUE(QipBundle::ParsePropertyList(wide + "</dict></plist>", &info));
    ASSERT_EQ(info.size(), 70);
    for (int i = 0; i < 70; ++i) {
        EXPECT_EQ(info.value("K" + QString::number(i)), QVariant(QVariantList{"v" + QString::number(i)})) << i;
    }
}

namespace {

// The levels of nested arrays under `key`.
int ArrayDepth(const QVariantMap& info, const QString& key) {
    int depth = 0;
    for (QVariant nest = info.value(key); nest.typeId() == QMetaType::QVariantList;
         nest = nest.toList().value(0)) {
        ++depth;
    }
    return depth;
}

// A binary property list: the root dictionary {"Nest": `levels` nested arrays,
// "QipTimeout": 3}, with 4-byte offsets and references.
QByteArray BinaryNest(int levels) {
    const auto number = [](uint64_t value, int width) {
        QByteArray bytes;
        for (int i = width - 1; i >= 0; --i) bytes.append(static_cast<char>(value >> (8 * i)));
        return bytes;
    };
    const uint32_t keyTimeout = levels + 2;
    std::vector<QByteArray> objects;
    objects.push_back("\xD2" + number(1, 4) + number(keyTimeout, 4) + number(2, 4) +
                      number(keyTimeout + 1, 4));
    objects.push_back("\x54Nest");
    for (int i = 0; i < levels; ++i) {
        objects.push_back(i + 1 == levels ? QByteArray("\xA0") : "\xA1" + number(3 + i, 4));
    }
    objects.push_back("\x5AQipTimeout");
    objects.push_back(QByteArray("\x10\x03", 2));
    QByteArray file = "bplist00";
    QByteArray table;
    for (const QByteArray& object : objects) {
        table += number(file.size(), 4);
        file += object;
    }
    const uint64_t tableAt = file.size();
    return file + table + QByteArray(6, '\0') + "\x04\x04" + number(objects.size(), 8) +
           number(0, 8) + number(tableAt, 8);
}

}  // namespace

// What a hand-written scan of the XML got wrong, now read by a real XML tokenizer: "<!-->"
// opens a comment (closed only by the next "-->"), and markup inside comments, CDATA
// sections and processing instructions is text, not containers.
TEST(QipBundleProperties, MarkupThatFoolsAScanNeitherCrashesNorDropsKeys) {
    QByteArray xml = "<plist><dict><key>CFBundleName</key><string>Crafted</string><!--> ";
    xml += QByteArray("</array>").repeated(200000) + " --><key>Nest</key>";
    xml += QByteArray("<array>").repeated(200000) + QByteArray("</array>").repeated(200000);
    xml += "<key>QipTimeout</key><integer>4</integer></dict></plist>";
    QVariantMap info;
    ASSERT_TRUE(QipBundle::ParsePropertyList(xml, &info));
    EXPECT_EQ(info.value("CFBundleName"), QVariant("Crafted"));
    EXPECT_EQ(info.value("QipTimeout").toLongLong(), 4);
    EXPECT_EQ(ArrayDepth(info, "Nest"), 63);

    ASSERT_TRUE(QipBundle::ParsePropertyList(
        "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY name \"Ent\">]><?pi <array> ?>"
        "<plist><dict><!--> " + QByteArray("<dict>").repeated(70) + " -->"
        "<key>A</key><string>&name;<![CDATA[<array></dict>]]></string>"
        "<?x </dict> ?><key>B</key><true/></dict></plist>",
        &info));
    EXPECT_EQ(info.value("A"), QVariant("Ent<array></dict>"));
    EXPECT_EQ(info.value("B"), QVariant(true));
    EXPECT_FALSE(QipBundle::ParsePropertyList("<plist><dict><key>A</key><true/></plist>", &info));
}

TEST(QipBundleProperties, BinaryPropertyListsAreReadWithTheSameBound) {
    QVariantMap info;
    ASSERT_TRUE(QipBundle::ParsePropertyList(BinaryNest(3), &info));
    EXPECT_EQ(info.value("QipTimeout").toLongLong(), 3);
    EXPECT_EQ(ArrayDepth(info, "Nest"), 3);
    ASSERT_TRUE(QipBundle::ParsePropertyList(BinaryNest(200000), &info));
    EXPECT_EQ(info.value("QipTimeout").toLongLong(), 3);
    EXPECT_EQ(ArrayDepth(info, "Nest"), 63);
    // Cut short, or a reference past the objects: no property list.
    const QByteArray whole = BinaryNest(3);
    EXPECT_FALSE(QipBundle::ParsePropertyList(whole.left(whole.size() - 1), &info));
    QByteArray wrong = whole;
    wrong[9] = '\x7f';
    EXPECT_FALSE(QipBundle::ParsePropertyList(wrong, &info));
}

TEST(QipBundleProperties, AnyBytesGiveSettingsOfTheDocumentedTypes) {
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("\0\xff<plist>", 10),
          QByteArray("<plist><dict><key>QipTimeout</key><string>x</string>"
                     "<key>DeviceKennung</key><dict/><key>CFBundleName</key><true/>"
                     "<key>RemoveAfterConfigure</key><date>2001-01-01T00:00:00Z</date>"
                     "</dict></plist>")}) {
        const QipSettings settings = QipSettings::FromPropertyList(bytes, "qipfinder");
        EXPECT_EQ(settings.mProgramName, "qipfinder");
        EXPECT_EQ(settings.mDeviceKennungen, QStringList{"qipfinder"});
        EXPECT_EQ(settings.mIntervalSeconds, 10);
        EXPECT_TRUE(settings.mRemoveAfterConfigure);
    }
}
