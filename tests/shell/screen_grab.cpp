// Waits until a window shows on the X display, then saves a picture of it cropped to its extent.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <cstdio>

namespace {

// The part of the screen that differs from the empty background in its bottom-right corner.
QRect Occupied(const QImage& image) {
    const QRgb background = image.pixel(image.width() - 1, image.height() - 1);
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (line[x] != background) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: screen_grab <picture.png>\n");
        return 2;
    }
    // A window counts as shown once two grabs a little apart agree, so that its first paint is done.
    QImage previous;
    for (int attempt = 0; attempt < 300; ++attempt) {
        const QImage image =
            app.primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        const QRect occupied = Occupied(image);
        if (!occupied.isEmpty() && image == previous) {
            return image.copy(occupied).save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        }
        previous = image;
        QThread::msleep(100);
    }
    std::fprintf(stderr, "screen_grab: no window appeared\n");
    return 1;
}
