// The main window by keyboard, to a screen reader, at an SVGA screen's size and with
// mnemonics of their own, in both languages.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QHeaderView>
#include <QTableView>
#include <QKeySequence>
#include <QLabel>
#include <QMap>
#include <QLayout>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <QClipboard>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTranslator>

#include "app/QipDeviceTableModel.h"
#include "app/QipMainWindow.h"
#include "app/QipHelpText.h"
#include "app/QipProbeDialog.h"
#include "app/QipRoute.h"
#include "ksp/KspClock.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/WindowRig.h"

TEST(QipMainWindow, KeyboardReachesTheMenuAndScreenReadersHearEachState) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    auto* menu = rig.mWindow.findChild<QMenu*>("applicationMenu");
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), "&QipFinder");
    for (QAction* action : menu->actions()) {
        EXPECT_TRUE(action->isSeparator() || action->text().contains('&')) << action->text().toStdString();
    }
    QTest::keyClick(&rig.mWindow, Qt::Key_F10);
    EXPECT_EQ(rig.mWindow.menuBar()->activeAction(), menu->menuAction());
    QTest::keyClick(menu->isVisible() ? static_cast<QWidget*>(menu) : rig.mWindow.menuBar(), Qt::Key_Escape);
    QTest::keyClick(rig.mWindow.menuBar(), Qt::Key_Escape);

    // The focused control carries what the window says (the toolkit tells assistive
    // technology of the change; without a screen reader it has no one to tell here).
    rig.mController->deviceNotFound();
    EXPECT_EQ(QApplication::focusWidget(), rig.mAgain);
    EXPECT_TRUE(rig.mAgain->accessibleDescription().startsWith("Fehler\n\n"));
    EXPECT_TRUE(rig.mAgain->accessibleDescription().contains("A firewall on this computer"));
    // Focus shows on Configure: it looks different with the focus and without.
    rig.mAgain->click();
    rig.mController->deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    ASSERT_EQ(QApplication::focusWidget(), rig.mTable);
    QTest::keyClick(rig.mTable, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), rig.mButton);
    const QImage focused = rig.mButton->grab().toImage();
    QTest::keyClick(rig.mButton, Qt::Key_Backtab, Qt::ShiftModifier);
    ASSERT_EQ(QApplication::focusWidget(), rig.mTable);
    const QImage unfocused = rig.mButton->grab().toImage();
    EXPECT_NE(focused, unfocused);
}

TEST(QipMainWindow, TheWindowTakesTheSizeOfEachStateWithinAnSvgaScreenInBothLanguages) {
    for (const char* language : {"en", "de"}) {
        QTranslator texts;
        ASSERT_TRUE(texts.load(QString("qipfinder_") + language, QIPFINDER_BUNDLE_DIR));
        QApplication::installTranslator(&texts);
        {
            WindowRig rig;
            ASSERT_TRUE(rig.Found());
            const QSize searching = rig.mWindow.size();
            rig.mController->deviceNotFound();
            const QSize failed = rig.mWindow.size();
            EXPECT_GT(failed.height(), searching.height()) << language;
            rig.mAgain->click();
            EXPECT_EQ(rig.mWindow.size(), searching) << language << ": it shrinks back";
            for (int other = 0; other < 2; ++other) {
                rig.mFactory.mSnapshot.emplace_back(
                    QipPacketHello(other == 0 ? "Camera" : "Plug", "x", "192.0.2.40",
                                   "255.255.255.0", "/s.xml", "1"),
                    "192.0.2.40");
            }
            rig.mController->qip()->timerCallback();
            WaitForReport(rig.mController->qip());
            EXPECT_TRUE(rig.mHelp->isVisible());
            const QSize frame = rig.mWindow.frameGeometry().size() - rig.mWindow.size();
            EXPECT_LE(rig.mWindow.width() + frame.width(), 800) << language;
            EXPECT_LE(rig.mWindow.height() + frame.height(), 600) << language;
            // Nothing is cut at that size.
            EXPECT_GE(rig.mWindow.centralWidget()->height(),
                      rig.mWindow.centralWidget()->layout()->totalHeightForWidth(
                          rig.mWindow.centralWidget()->width()))
                << language;
        }
        QApplication::removeTranslator(&texts);
    }
}

namespace {

// The mnemonics of `texts`, each a text with "&" before its letter; what repeats or is
// missing is named in the result, empty when every text has a letter of its own.
std::string MnemonicClashes(const QStringList& texts) {
    std::string faults;
    QMap<QString, QString> taken;
    for (const QString& text : texts) {
        const QKeySequence key = QKeySequence::mnemonic(text);
        if (key.isEmpty()) {
            faults += "no mnemonic: " + text.toStdString() + "\n";
            continue;
        }
        const QString letter = key.toString().toLower();
        if (taken.contains(letter)) {
            faults += "clash: " + taken[letter].toStdString() + " / " + text.toStdString() + "\n";
        }
        taken[letter] = text;
    }
    return faults;
}

// The texts of a window's shown buttons and of its labels that lead to a control.
QStringList KeyTexts(QWidget* window) {
    QStringList texts;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->isVisible()) texts << button->text();
    }
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->isVisible() && label->buddy() && label->text().contains('&')) texts << label->text();
    }
    return texts;
}

}  // namespace

TEST(QipMainWindow, EveryButtonMenuAndDialogHasMnemonicsOfItsOwnInBothLanguages) {
    for (const char* language : {"en", "de"}) {
        QTranslator texts;
        ASSERT_TRUE(texts.load(QString("qipfinder_") + language, QIPFINDER_BUNDLE_DIR));
        QApplication::installTranslator(&texts);
        {
            WindowRig rig;
            ASSERT_TRUE(rig.Found());
            QStringList bar;
            for (QAction* menu : rig.mWindow.menuBar()->actions()) {
                bar << menu->text();
                QStringList items;
                for (QAction* item : menu->menu()->actions()) {
                    if (!item->isSeparator()) items << item->text();
                }
                EXPECT_EQ(MnemonicClashes(items), "") << language;
                for (QMenu* sub : menu->menu()->findChildren<QMenu*>()) {
                    QStringList subItems;
                    for (QAction* item : sub->actions()) subItems << item->text();
                    EXPECT_EQ(MnemonicClashes(subItems), "") << language;
                }
            }
            rig.mController->deviceNotFound();
            EXPECT_EQ(MnemonicClashes(bar + KeyTexts(&rig.mWindow)), "") << language << " failed";
            rig.mAgain->click();
            rig.mController->deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
            EXPECT_EQ(MnemonicClashes(bar + KeyTexts(&rig.mWindow)), "") << language << " table";
            // A hidden button takes no key, Space included.
            QSignalSpy clicked(rig.mAgain, &QPushButton::clicked);
            QTest::keyClick(rig.mAgain, Qt::Key_Space);
            QTest::keyClick(rig.mAgain, Qt::Key_Return);
            EXPECT_EQ(clicked.count(), 0) << language;
        }
        {
            QipProbeDialog dialog({}, {"198.51.100.7"});
            dialog.show();
            EXPECT_EQ(MnemonicClashes(KeyTexts(&dialog)), "") << language << " probe dialog";
        }
        QApplication::removeTranslator(&texts);
    }
}
