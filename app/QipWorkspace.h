#pragma once

#include <QUrl>

// What the controller asks of the desktop: open a page and end the program. Injected so that
// tests can record both instead of starting a browser or leaving the event loop. Called on
// the main thread; the controller never owns its workspace.
class QipWorkspace {
public:
    // How a hand-off to the browser ended. Not owned by the workspace; it must stay valid
    // until told or until the event loop has stopped for good.
    class HandOffHandler {
    public:
        // `opened` when the opener ended with status 0 or was still running after
        // cLaunchedAfterMs (it then counts as launched). Otherwise `openerStatus` says why:
        // -1 when no opener could be started, else its exit status, or 128 + the signal
        // that ended it.
        virtual void OnHandOffEnded(const QUrl& url, bool opened, int openerStatus) = 0;

    protected:
        ~HandOffHandler() = default;
    };

    // An opener still running this long has found a browser: many run it in the foreground.
    static const int cLaunchedAfterMs = 3000;

    virtual ~QipWorkspace() = default;

    // Hands the URL to the user's default web browser and returns without waiting for it.
    // Tells `handler` exactly once how it ended: before returning, or later from the event
    // loop.
    virtual void OpenUrl(const QUrl& url, HandOffHandler* handler) = 0;
    // Ends the program normally. The caller returns at once and runs nothing after it.
    virtual void Terminate() = 0;
};
