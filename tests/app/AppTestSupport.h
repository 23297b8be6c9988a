#pragma once

#include <QApplication>
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

// Records what the controller asks of the desktop, in order: "open <url>" and "terminate".
class RecordingWorkspace : public QipWorkspace {
public:
    void OpenUrl(const QUrl& url) override {
        mEvents.push_back("open " + url.toString().toStdString());
    }
    void Terminate() override { mEvents.push_back("terminate"); }

    std::vector<std::string> mEvents;
};

// Hands out searches that send nothing: created, never started, but with a running timer so
// that a suspension is visible as the timer going away.
class QuietSearchFactory : public QipSearchFactory {
public:
    std::unique_ptr<Qip> StartSearch(QipDelegate* delegate, const QStringList& deviceKennungen,
                                      const QVariant& timeout) override {
        mKennungen = deviceKennungen;
        mTimeout = timeout;
        auto search = std::make_unique<Qip>(delegate, deviceKennungen, timeout);
        auto* timer = new QTimer();
        timer->start(3600 * 1000);
        search->setTimer(timer);
        return search;
    }

    QStringList mKennungen;
    QVariant mTimeout;
};

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
