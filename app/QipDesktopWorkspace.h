#pragma once

#include "app/QipWorkspace.h"

// The real desktop: pages open through the desktop's URL handler (xdg-open on an X11
// session without a known desktop environment), and ending leaves the running event loop.
class QipDesktopWorkspace : public QipWorkspace {
public:
    // Failure to start a browser is written to standard error; the program goes on.
    bool OpenUrl(const QUrl& url) override;
    // Asks the application's event loop to return 0; the loop returns once control is back.
    void Terminate() override;
};
