#pragma once

#include <sys/types.h>

#include <QElapsedTimer>
#include <QTimer>

#include <vector>

#include "app/QipWorkspace.h"

// The real desktop: pages open through `xdg-open` found on PATH, whose exit status says
// whether a browser took the page; ending leaves the running event loop. An opener still
// running when the program ends is left running (it may be the browser itself). Main thread.
class QipDesktopWorkspace : public QipWorkspace {
public:
    QipDesktopWorkspace();

    // Starts the opener and watches it from the event loop; a failure is written to
    // standard error as well.
    void OpenUrl(const QUrl& url, HandOffHandler* handler) override;
    // Asks the application's event loop to return 0; the loop returns once control is back.
    void Terminate() override;

private:
    struct HandOff {
        pid_t mPid;
        QUrl mUrl;
        HandOffHandler* mHandler;  // null once told
        QElapsedTimer mStarted;
    };

    // Reaps ended openers and tells each handler once.
    void Watch();

    std::vector<HandOff> mHandOffs;
    QTimer mWatch;
};
