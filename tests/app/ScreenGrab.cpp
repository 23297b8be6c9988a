// qip-screen-grab FILE.png: saves the screen of $DISPLAY as a PNG, cut to the area that is not
// the bare black root window (an X server without a window manager shows windows on black),
// for the black-box test's artifacts and `make demo`. Exits 1 with one line on standard error
// on failure.
#include <QGuiApplication>
#include <QImage>
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
    const QImage screenImage = screen ? screen->grabWindow(0).toImage() : QImage();
    QRect shown;
    for (int y = 0; y < screenImage.height(); ++y) {
        for (int x = 0; x < screenImage.width(); ++x) {
            if ((screenImage.pixel(x, y) & 0xffffffu) != 0) {
                shown |= QRect(x, y, 1, 1);
            }
        }
    }
    const QImage shot = shown.isEmpty() ? screenImage : screenImage.copy(shown);
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "Cannot save the screen to %s\n", argv[1]);
        return 1;
    }
    return 0;
}
