// qip-screen-grab FILE.png: saves the whole screen of $DISPLAY as a PNG, for the black-box
// test's artifacts and `make demo`. Exits 1 with one line on standard error on failure.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qip-screen-grab FILE.png\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPixmap shot = screen ? screen->grabWindow(0) : QPixmap();
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "Cannot save the screen to %s\n", argv[1]);
        return 1;
    }
    return 0;
}
