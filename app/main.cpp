#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

#include "app/QipBundle.h"
#include "app/QipController.h"
#include "app/QipDesktopWorkspace.h"
#include "app/QipMainWindow.h"
#include "app/QipSearchFactory.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QipBundle bundle = QipBundle::MainBundle();

    // The user's language when it is translated, else English rather than the German keys.
    QTranslator texts;
    if (!texts.load(QLocale::system(), QStringLiteral("qipfinder"), QStringLiteral("_"),
                    bundle.resourcePath()) &&
        !texts.load(QStringLiteral("qipfinder_en"), bundle.resourcePath())) {
        std::fprintf(stderr, "No translations in %s\n", qPrintable(bundle.resourcePath()));
    }
    app.installTranslator(&texts);
    QTranslator toolkitTexts;
    if (toolkitTexts.load(QLocale::system(), QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        app.installTranslator(&toolkitTexts);
    }

    QipDesktopWorkspace workspace;
    QipSearchFactory searchFactory;
    QipController controller(bundle, &workspace, &searchFactory);
    app.setQuitOnLastWindowClosed(controller.applicationShouldTerminateAfterLastWindowClosed());
    QipMainWindow window(&controller);
    controller.setMainMenu(window.mainMenu());
    controller.setAboutParent(&window);
    window.show();
    // Launching has finished once the event loop runs with the window on screen.
    QTimer::singleShot(0, &controller, &QipController::applicationDidFinishLaunching);
    return app.exec();
}
