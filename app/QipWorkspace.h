#pragma once

#include <QUrl>

// What the controller asks of the desktop: open a page and end the program. Injected so that
// tests can record both instead of starting a browser or leaving the event loop. Called on
// the main thread; the controller never owns its workspace.
class QipWorkspace {
public:
    virtual ~QipWorkspace() = default;

    // Hands the URL to the user's default web browser and returns at once, without waiting
    // for the browser. false when nothing could be asked to open it (no opener found).
    virtual bool OpenUrl(const QUrl& url) = 0;
    // Ends the program normally. The caller returns at once and runs nothing after it.
    virtual void Terminate() = 0;
};
