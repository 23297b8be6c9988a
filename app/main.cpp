#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/QipBundle.h"
#include "app/QipCommandLine.h"
#include "app/QipController.h"
#include "app/QipDesktopWorkspace.h"
#include "app/QipMainWindow.h"
#include "app/QipSearchFactory.h"
#include "app/QipSingleInstance.h"
#include "cli/QipProgramOutput.h"

namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The toolkit aborts when it finds no display; say why in plain words instead.
bool HasDisplay(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument.rfind("-platform", 0) == 0 || argument.rfind("--platform", 0) == 0 ||
            argument.rfind("-display", 0) == 0 || argument.rfind("--display", 0) == 0) {
            return true;
        }
    }
    return IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string error;
    const QipProgramOutput output("qipfinder");
    switch (QipCommandLine::Parse(arguments, &error)) {
    case QipCommandLine::Action::Help:
        return output.Write(QipCommandLine::HelpText()) ? 0 : 1;
    case QipCommandLine::Action::Version:
        return output.Write(QipCommandLine::VersionText()) ? 0 : 1;
    case QipCommandLine::Action::UsageError:
        return output.UsageError(error);
    case QipCommandLine::Action::Run:
        break;
    }
    if (!HasDisplay(arguments)) {
        std::fputs("qipfinder: no display to open the window on (DISPLAY and WAYLAND_DISPLAY "
                   "are not set)\n",
                   stderr);
        return 1;
    }

    QApplication app(argc, argv);
    // One window per session: a second launch shows the first one's window and ends.
    QipSingleInstance instance;
    if (!instance.Claim()) {
        std::fputs("qipfinder: already running on this display; its window was raised\n", stderr);
        return 0;
    }
    // Task bars and docks group the window with its launcher by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("qipfinder"));
    const QipBundle bundle = QipBundle::MainBundle();
    // The installed icon from the theme; run from the build tree, the bundle's own copy.
    QApplication::setWindowIcon(QIcon::fromTheme(
        QStringLiteral("qipfinder"), QIcon(bundle.resourcePath() + QStringLiteral("/qipfinder.svg"))));

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
    window.setRemembersPlacement(true);
    QObject::connect(&instance, &QipSingleInstance::raiseRequested, &window, [&window] {
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
        window.show();
        window.raise();
        window.activateWindow();
    });
    controller.setMainMenu(window.mainMenu());
    controller.setAboutParent(&window);
    window.show();
    // Launching has finished once the event loop runs with the window on screen.
    QTimer::singleShot(0, &controller, &QipController::applicationDidFinishLaunching);
    return controller.exitStatus(app.exec());
}
