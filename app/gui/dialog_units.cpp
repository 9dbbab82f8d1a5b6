#include "app/gui/dialog_units.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>
#include <QRadialGradient>

QFont DialogFont() {
    QFont font(QStringLiteral("Times New Roman"));
    font.setPointSize(8);
    font.setStyleHint(QFont::Serif);
    return font;
}

namespace {
// Rounded a * b / c, as the platform's MulDiv does for dialog units.
int MulDiv(int a, int b, int c) {
    long long p = static_cast<long long>(a) * b;
    return static_cast<int>(p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c));
}
}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics fm(font);
    // The average width over both alphabets, the way dialog base units have always been taken.
    int width = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = (width / 26 + 1) / 2;
    baseY_ = fm.height();
    if (baseX_ <= 0) baseX_ = 1;
    if (baseY_ <= 0) baseY_ = 1;
}

int DialogUnits::X(int units) const {
    return MulDiv(units, baseX_, 4);
}
int DialogUnits::Y(int units) const {
    return MulDiv(units, baseY_, 8);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    // Convert both corners, so that adjacent controls stay adjacent after rounding.
    int left = X(x), top = Y(y);
    return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

namespace {
QPixmap DrawDisc(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF outer(0.5, 0.5, size - 1.0, size - 1.0);
    const QPointF centre = outer.center();
    QRadialGradient shine(centre, size / 2.0, QPointF(size * 0.3, size * 0.3));
    shine.setColorAt(0.0, QColor(250, 250, 255));
    shine.setColorAt(0.6, QColor(170, 190, 220));
    shine.setColorAt(1.0, QColor(120, 140, 180));
    p.setPen(QPen(QColor(60, 70, 100), size >= 32 ? 1.5 : 1.0));
    p.setBrush(shine);
    p.drawEllipse(outer);
    // the data area ends short of the hub
    p.setPen(QPen(QColor(140, 150, 190), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, size * 0.27, size * 0.27);
    // the hub and its hole
    p.setPen(QPen(QColor(60, 70, 100), 1.0));
    p.setBrush(QColor(215, 220, 230));
    p.drawEllipse(centre, size * 0.16, size * 0.16);
    p.setBrush(Qt::white);
    p.drawEllipse(centre, size * 0.06, size * 0.06);
    return pixmap;
}
}  // namespace

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(DrawDisc(size));
    return icon;
}
