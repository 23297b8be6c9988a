#include "app/QipDesktopWorkspace.h"

#include <QCoreApplication>
#include <QDesktopServices>

#include <cstdio>

bool QipDesktopWorkspace::OpenUrl(const QUrl& url) {
    if (!QDesktopServices::openUrl(url)) {
        std::fprintf(stderr, "Cannot open %s in a web browser\n",
                     url.toString().toUtf8().constData());
        return false;
    }
    return true;
}

void QipDesktopWorkspace::Terminate() { QCoreApplication::exit(0); }
