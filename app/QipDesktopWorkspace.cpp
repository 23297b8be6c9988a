#include "app/QipDesktopWorkspace.h"

#include <spawn.h>
#include <sys/wait.h>

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

const char* const cOpener = "xdg-open";
// How often the openers are looked at: a failure shows well within a second.
const int cWatchStepMs = 50;

}  // namespace

QipDesktopWorkspace::QipDesktopWorkspace() {
    mWatch.setInterval(cWatchStepMs);
    QObject::connect(&mWatch, &QTimer::timeout, [this] { Watch(); });
}

void QipDesktopWorkspace::OpenUrl(const QUrl& url, HandOffHandler* handler) {
    const QByteArray page = url.toString().toUtf8();
    char* const argv[] = {const_cast<char*>(cOpener), const_cast<char*>(page.constData()),
                          nullptr};
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, cOpener, nullptr, nullptr, argv, environ);
    if (error != 0) {
        std::fprintf(stderr, "Cannot open %s in a web browser: %s: %s\n", page.constData(),
                     cOpener, std::strerror(error));
        // Told from the event loop, as every other ending is.
        QTimer::singleShot(0, &mWatch, [handler, url] { handler->OnHandOffEnded(url, false, -1); });
        return;
    }
    HandOff handOff{pid, url, handler, QElapsedTimer()};
    handOff.mStarted.start();
    mHandOffs.push_back(handOff);
    mWatch.start();
}

void QipDesktopWorkspace::Watch() {
    // Handlers may start new hand-offs: tell them after the list is settled.
    struct Told {
        HandOffHandler* mHandler;
        QUrl mUrl;
        bool mOpened;
        int mStatus;
    };
    std::vector<Told> told;
    for (auto it = mHandOffs.begin(); it != mHandOffs.end();) {
        int status = 0;
        const pid_t ended = waitpid(it->mPid, &status, WNOHANG);
        if (ended == 0) {
            if (it->mHandler != nullptr && it->mStarted.elapsed() >= cLaunchedAfterMs) {
                told.push_back({it->mHandler, it->mUrl, true, 0});
                it->mHandler = nullptr;
            }
            ++it;
            continue;
        }
        int openerStatus = 1;
        if (ended < 0) {
            perror("waitpid() failed");
        } else if (WIFEXITED(status)) {
            openerStatus = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            openerStatus = 128 + WTERMSIG(status);
        }
        if (it->mHandler != nullptr) {
            if (openerStatus != 0) {
                std::fprintf(stderr, "Cannot open %s in a web browser: %s ended with status %d\n",
                             it->mUrl.toString().toUtf8().constData(), cOpener, openerStatus);
            }
            told.push_back({it->mHandler, it->mUrl, openerStatus == 0, openerStatus});
        }
        it = mHandOffs.erase(it);
    }
    if (mHandOffs.empty()) mWatch.stop();
    for (const Told& t : told) t.mHandler->OnHandOffEnded(t.mUrl, t.mOpened, t.mStatus);
}

void QipDesktopWorkspace::Terminate() { QCoreApplication::exit(0); }
