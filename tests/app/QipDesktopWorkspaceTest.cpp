// The real hand-off: xdg-open found on PATH, here a stand-in script in a folder of the test.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include "app/QipDesktopWorkspace.h"
#include "tests/app/AppTestSupport.h"

namespace {

struct Told : QipWorkspace::HandOffHandler {
    int mCount = 0;
    bool mOpened = false;
    int mStatus = 0;
    QUrl mUrl;
    qint64 mAfterMs = -1;
    QElapsedTimer mClock;
    void OnHandOffEnded(const QUrl& url, bool opened, int openerStatus) override {
        ++mCount;
        mUrl = url;
        mOpened = opened;
        mStatus = openerStatus;
        mAfterMs = mClock.elapsed();
    }
};

// Runs the event loop until `told` was told (15 s at most), then 200 ms more.
void WaitUntilTold(const Told& told) {
    QElapsedTimer waited;
    waited.start();
    while (told.mCount == 0 && waited.elapsed() < 15000) {
        QThread::msleep(10);
        QCoreApplication::processEvents();
    }
    for (int i = 0; i < 20; ++i) {
        QThread::msleep(10);
        QCoreApplication::processEvents();
    }
}

}  // namespace

TEST(QipDesktopWorkspace, TheOpenersExitStatusDecidesAndOneStillRunningCountsAsLaunched) {
    EnsureApplication();
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QByteArray savedPath = qgetenv("PATH");
    struct Case {
        const char* script;  // null: no opener on PATH
        bool opened;
        int status;
        qint64 atLeastMs;
    };
    const Case cases[] = {
        {"#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/url\"\nexit 0\n", true, 0, 0},
        {"#!/bin/sh\nexit 3\n", false, 3, 0},
        {"#!/bin/sh\nkill -9 $$\n", false, 128 + 9, 0},
        // A browser run in the foreground: launched, not waited for.
        {"#!/bin/sh\nexec sleep 5 </dev/null >/dev/null 2>&1\n", true, 0, QipWorkspace::cLaunchedAfterMs},
        {nullptr, false, -1, 0},
    };
    for (const Case& c : cases) {
        const QString opener = folder.filePath("xdg-open");
        QFile::remove(opener);
        if (c.script != nullptr) {
            QFile file(opener);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.script);
            file.close();
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        // The scripts need the system's tools; the missing opener must not find a real one.
        qputenv("PATH", (folder.path() + (c.script != nullptr ? ":/usr/bin:/bin" : "")).toUtf8());
        QipDesktopWorkspace workspace;
        Told told;
        told.mClock.start();
        testing::internal::CaptureStderr();
        workspace.OpenUrl(QUrl("http://192.0.2.10/"), &told);
        EXPECT_EQ(told.mCount, 0) << "told before returning";
        WaitUntilTold(told);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(told.mCount, 1) << (c.script ? c.script : "none");
        EXPECT_EQ(told.mOpened, c.opened) << (c.script ? c.script : "none");
        EXPECT_EQ(told.mStatus, c.status) << (c.script ? c.script : "none");
        EXPECT_EQ(told.mUrl, QUrl("http://192.0.2.10/"));
        EXPECT_GE(told.mAfterMs, c.atLeastMs);
        // A failure is said within a second.
        if (!c.opened) {
            EXPECT_LT(told.mAfterMs, 1000);
            EXPECT_NE(errors.find("Cannot open http://192.0.2.10/"), std::string::npos) << errors;
        }
    }
    QFile url(folder.filePath("url"));
    ASSERT_TRUE(url.open(QIODevice::ReadOnly));
    EXPECT_EQ(url.readAll(), "http://192.0.2.10/\n");
    qputenv("PATH", savedPath);
}
