#include "app/gui/dialog_units.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

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

QIcon AppIcon() {
    // The resource lives in a static library: nothing else would keep it linked in.
    Q_INIT_RESOURCE(icon);
    // The picture the desktop shows for the program, so that menu and window look alike.
    QSvgRenderer picture(QStringLiteral(":/discflash.svg"));
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        picture.render(&p);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
