#include "app/QipSingleInstance.h"

#include <QLocalSocket>

#include <unistd.h>

#include <cstdio>

namespace {

// How long a later launch waits for the first to take its request.
const int cAskMs = 2000;

}  // namespace

QipSingleInstance::QipSingleInstance(QObject* parent) : QObject(parent) {
    connect(&mServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = mServer.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
            emit raiseRequested();
        }
    });
}

QString QipSingleInstance::SocketName() {
    QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (display.isEmpty()) {
        display = qEnvironmentVariable("DISPLAY");
    }
    for (QChar& c : display) {
        if (!c.isLetterOrNumber()) {
            c = QLatin1Char('_');
        }
    }
    return QStringLiteral("qipfinder-%1-%2").arg(getuid()).arg(display);
}

bool QipSingleInstance::Claim(const QString& name) {
    QLocalSocket other;
    other.connectToServer(name);
    if (other.waitForConnected(cAskMs)) {
        // The first one raises its window as it takes the connection.
        other.waitForDisconnected(cAskMs);
        return false;
    }
    // Nobody answers: a socket file left by a program that crashed goes.
    QLocalServer::removeServer(name);
    mServer.setSocketOptions(QLocalServer::UserAccessOption);
    if (!mServer.listen(name)) {
        std::fprintf(stderr, "Cannot listen on %s: %s; a second launch opens a second window\n",
                     qPrintable(name), qPrintable(mServer.errorString()));
    }
    return true;
}
