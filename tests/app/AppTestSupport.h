#pragma once

#include <QApplication>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <string>
#include <vector>

#include "app/Qip.h"
#include "app/QipBundle.h"
#include "app/QipController.h"
#include "app/QipSearchFactory.h"
#include "app/QipWorkspace.h"

// One QApplication on the offscreen platform for the whole test program; it stays reachable
// until exit on purpose.
inline void EnsureApplication() {
    static QApplication* sApplication = nullptr;
    if (!sApplication) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int sArgc = 1;
        static char sName[] = "app_tests";
        static char* sArgv[] = {sName, nullptr};
        sApplication = new QApplication(sArgc, sArgv);
    }
}

// Records what the controller asks of the desktop, in order: "open <url>" (or "cannot open
// <url>" while mOpenFails) and "terminate". A hand-off ends before OpenUrl returns, unless
// mHold keeps it under way until Finish.
class RecordingWorkspace : public QipWorkspace {
public:
    void OpenUrl(const QUrl& url, HandOffHandler* handler) override {
        mEvents.push_back((mOpenFails ? "cannot open " : "open ") + url.toString().toStdString());
        mHandler = handler;
        mUrl = url;
        if (!mHold) {
            Finish(!mOpenFails);
        }
    }
    void Terminate() override { mEvents.push_back("terminate"); }
    // Ends the hand-off under way: opened, or failed with status 3 as xdg-open does.
    void Finish(bool opened) {
        HandOffHandler* handler = mHandler;
        mHandler = nullptr;
        if (handler != nullptr) {
            handler->OnHandOffEnded(mUrl, opened, opened ? 0 : 3);
        }
    }

    std::vector<std::string> mEvents;
    bool mOpenFails = false;
    bool mHold = false;
    HandOffHandler* mHandler = nullptr;
    QUrl mUrl;
};

// Hands out started searches that send nothing: their polls read mSnapshot (empty unless a
// test fills it), so a suspension shows as the timer going away and a resume as its return.
// They see the interfaces of mScan, whatever the machine has: one Ethernet interface.
class QuietSearchFactory : public QipSearchFactory, public Qip::SnapshotSource {
public:
    std::unique_ptr<Qip> StartSearch(QipDelegate* delegate, const QStringList& deviceKennungen,
                                      const QVariant& timeout) override {
        mKennungen = deviceKennungen;
        mTimeout = timeout;
        ++mStarted;
        auto search = std::make_unique<Qip>(delegate, deviceKennungen, timeout);
        search->setSnapshotSource(this);
        search->setInterfaceScan(mScan);
        search->start();
        return search;
    }
    std::vector<QipDevice> TakeSnapshot() override { return mSnapshot; }

    QStringList mKennungen;
    QVariant mTimeout;
    int mStarted = 0;
    std::vector<QipDevice> mSnapshot;
    KspNetworkInterface::Scan mScan = {{KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0")}, {}};
};

// Lets the event loop run until the search's tick has read its pages and reported (15 s at
// most).
inline void WaitForReport(Qip* search) {
    for (int i = 0; i < 1500 && search->isReading(); ++i) {
        QThread::msleep(10);
        QCoreApplication::processEvents();
    }
}

inline QVariantMap Device(const QString& id, const QString& ip, const QString& ssid = "net") {
    const QString type = QStringLiteral("QipFinder");
    return {{"DeviceType", type},
            {"DeviceId", id},
            {"SSID", ssid},
            {"DeviceIP", ip},
            {"DisplayString", id + " - " + type + " - SSID:\"" + ssid + "\""}};
}

// A controller over a bundle with the given settings, launched unless told otherwise.
struct ControllerRig {
    explicit ControllerRig(QVariantMap info = {}, bool launch = true) {
        EnsureApplication();
        if (!info.contains("CFBundleName")) {
            info.insert("CFBundleName", "QipFinder");
        }
        mController = std::make_unique<QipController>(QipBundle(info, "/nonexistent", "qipfinder"),
                                                      &mWorkspace, &mFactory);
        if (launch) {
            mController->applicationDidFinishLaunching();
        }
    }

    RecordingWorkspace mWorkspace;
    QuietSearchFactory mFactory;
    std::unique_ptr<QipController> mController;
};
