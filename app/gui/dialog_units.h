// Dialog-unit geometry: the dialogs are laid out in units of their font, as the dialog templates
// give them, and converted to pixels with that font's metrics.
#pragma once

#include <QFont>
#include <QIcon>
#include <QRect>

// The dialogs' font: Times New Roman 8 pt, or whatever fontconfig offers in its place.
QFont DialogFont();

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    // Base units in pixels: the average character width and the character height.
    int BaseX() const { return baseX_; }
    int BaseY() const { return baseY_; }
    // x unit = average width / 4, y unit = height / 8, each rounded to the nearest pixel.
    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int width, int height) const;

  private:
    int baseX_;
    int baseY_;
};

// The program's icon (dist/discflash.svg, built in) in the usual sizes.
QIcon AppIcon();
