#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

// One window per user session: the first program of a session listens on a local socket
// named after the user and the display; a later one finds it there, asks it to show its
// window, and ends. Main thread only.
class QipSingleInstance : public QObject {
    Q_OBJECT
public:
    explicit QipSingleInstance(QObject* parent = nullptr);

    // The socket name for this user and display: "qipfinder-<uid>-<display>".
    static QString SocketName();
    // True when this program is the first: it listens from now on. False when another
    // answered (it has been asked to raise its window), so this one should end.
    bool Claim(const QString& name = SocketName());

signals:
    // A later launch asked for the window.
    void raiseRequested();

private:
    QLocalServer mServer;
};
