// Waits until a window shows on the X display, then saves a picture of it cropped to its extent.
#include <QBitmap>
#include <QGuiApplication>
#include <QImage>
#include <QRegion>
#include <QScreen>
#include <QThread>
#include <cstdio>

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: screen_grab <picture.png>\n");
        return 2;
    }
    // A window counts as shown once two grabs a little apart agree, so that its first paint is done.
    QImage previous;
    for (int attempt = 0; attempt < 300; ++attempt) {
        const QImage image = app.primaryScreen()->grabWindow(0).toImage();
        // What differs from the empty background (its bottom-right corner) is the window. QBitmap turns the
        // mask's set bits into color0, so a MaskInColor mask yields the region of everything else.
        const QImage mask = image.createMaskFromColor(image.pixel(image.width() - 1, image.height() - 1));
        const QRect occupied = QRegion(QBitmap::fromImage(mask)).boundingRect();
        if (!occupied.isEmpty() && image == previous) {
            return image.copy(occupied).save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        }
        previous = image;
        QThread::msleep(100);
    }
    std::fprintf(stderr, "screen_grab: no window appeared\n");
    return 1;
}
