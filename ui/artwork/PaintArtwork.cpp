// Paints the program's own artwork at build time: the three 48 x 48 status
// images and the application icon. Usage: PaintArtwork <output folder>
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QLinearGradient>
#include <QString>

#include <cstdio>

namespace {

QImage Canvas(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

// A round LED lit in `light`, with a darker rim and a glint.
QImage Led(QColor light, QColor dark) {
    QImage image = Canvas(48);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient bezel(24, 24, 22);
    bezel.setColorAt(0.0, QColor(250, 250, 250));
    bezel.setColorAt(0.85, QColor(150, 150, 150));
    bezel.setColorAt(1.0, QColor(90, 90, 90));
    p.setPen(Qt::NoPen);
    p.setBrush(bezel);
    p.drawEllipse(QPointF(24, 24), 21.5, 21.5);
    QRadialGradient glow(20, 19, 18);
    glow.setColorAt(0.0, light.lighter(140));
    glow.setColorAt(0.6, light);
    glow.setColorAt(1.0, dark);
    p.setBrush(glow);
    p.setPen(QPen(dark.darker(130), 1.2));
    p.drawEllipse(QPointF(24, 24), 16.5, 16.5);
    QRadialGradient glint(19, 16, 8);
    glint.setColorAt(0.0, QColor(255, 255, 255, 230));
    glint.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glint);
    p.drawEllipse(QPointF(19, 16), 8, 6);
    return image;
}

// A yellow warning triangle with an exclamation mark.
QImage Warning() {
    QImage image = Canvas(48);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath triangle;
    triangle.moveTo(24, 3);
    triangle.lineTo(46, 43);
    triangle.lineTo(2, 43);
    triangle.closeSubpath();
    QLinearGradient fill(0, 3, 0, 43);
    fill.setColorAt(0.0, QColor(255, 236, 110));
    fill.setColorAt(1.0, QColor(240, 180, 0));
    p.setBrush(fill);
    p.setPen(QPen(QColor(120, 80, 0), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(triangle);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 30, 30));
    QPainterPath bar;
    bar.moveTo(21, 15);
    bar.lineTo(27, 15);
    bar.lineTo(25.5, 31);
    bar.lineTo(22.5, 31);
    bar.closeSubpath();
    p.drawPath(bar);
    p.drawEllipse(QPointF(24, 37), 3, 3);
    return image;
}

// The application icon: a dark rounded square with a red record dot and a level trace.
QImage AppIcon(int size) {
    QImage image = Canvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    QLinearGradient back(0, 0, 0, 256);
    back.setColorAt(0.0, QColor(52, 64, 84));
    back.setColorAt(1.0, QColor(22, 28, 40));
    p.setPen(Qt::NoPen);
    p.setBrush(back);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 44, 44);
    // Level bars, green up to orange at the top.
    const int heights[] = {60, 110, 150, 96, 170, 128, 80};
    for (int i = 0; i < 7; ++i) {
        const int h = heights[i];
        QLinearGradient bar(0, 216, 0, 216 - 170);
        bar.setColorAt(0.0, QColor(0, 200, 60));
        bar.setColorAt(0.75, QColor(0, 255, 0));
        bar.setColorAt(1.0, QColor(255, 102, 0));
        p.setBrush(bar);
        p.drawRoundedRect(QRectF(36 + i * 26, 216 - h, 18, h), 4, 4);
    }
    QRadialGradient dot(190, 62, 34);
    dot.setColorAt(0.0, QColor(255, 120, 120));
    dot.setColorAt(1.0, QColor(200, 0, 0));
    p.setBrush(dot);
    p.setPen(QPen(QColor(255, 255, 255), 6));
    p.drawEllipse(QPointF(190, 62), 30, 30);
    return image;
}

bool Save(const QImage& image, const QString& folder, const char* name) {
    const QString path = folder + "/" + name;
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    const bool ok = Save(Led(QColor(120, 255, 90), QColor(20, 120, 10)), out, "ledlightgreen.png") &&
                    Save(Led(QColor(255, 70, 60), QColor(120, 0, 0)), out, "ledred.png") &&
                    Save(Warning(), out, "messagebox_warning.png") && Save(AppIcon(256), out, "rudazodudad.png") &&
                    Save(AppIcon(48), out, "rudazodudad-48.png");
    return ok ? 0 : 1;
}
