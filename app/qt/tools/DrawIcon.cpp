// Draws the program icon: several connections converging into one download arrow that
// lands in a tray. Run it to regenerate app/qt/resources/zodiva.png after changing it:
//   QT_QPA_PLATFORM=offscreen zodiva_draw_icon app/qt/resources/zodiva.png
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

constexpr int kSize = 256;

void DrawBackground(QPainter& p) {
    QLinearGradient gradient(0, 0, 0, kSize);
    gradient.setColorAt(0.0, QColor(0x2b, 0x86, 0xc5));
    gradient.setColorAt(1.0, QColor(0x0c, 0x35, 0x5e));
    QPainterPath tile;
    tile.addRoundedRect(QRectF(8, 8, kSize - 16, kSize - 16), 44, 44);
    p.fillPath(tile, gradient);
    p.setPen(QPen(QColor(0x08, 0x24, 0x40), 4));
    p.drawPath(tile);
}

// Five strands from the top edge meet where the arrow begins: many connections, one stream.
void DrawConnections(QPainter& p) {
    const QPointF meeting(128, 118);
    p.setPen(QPen(QColor(0xa8, 0xdc, 0xff), 9, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 5; ++i) {
        const QPointF start(48 + i * 40, 36);
        QPainterPath strand(start);
        strand.cubicTo(QPointF(start.x(), 84), QPointF(meeting.x(), 72), meeting);
        p.drawPath(strand);
    }
}

void DrawArrowAndTray(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    QPolygonF arrow;
    arrow << QPointF(106, 108) << QPointF(150, 108) << QPointF(150, 160) << QPointF(184, 160)
          << QPointF(128, 212) << QPointF(72, 160) << QPointF(106, 160);
    p.drawPolygon(arrow);
    p.setPen(QPen(QColor(0xff, 0xc8, 0x3c), 14, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPolygonF tray;
    tray << QPointF(52, 190) << QPointF(52, 222) << QPointF(204, 222) << QPointF(204, 190);
    p.drawPolyline(tray);
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    DrawBackground(painter);
    DrawConnections(painter);
    DrawArrowAndTray(painter);
    painter.end();
    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
