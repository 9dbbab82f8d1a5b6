#include "app/gui/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/gui/dialog_units.h"

const char* const kAboutCaption = "HLV DOWNLOAD UTILITY Information  ";
const char* const kAboutTitle = "HLV DOWN LOAD UTILITY";
const char* const kAboutVersion = " Version 1.100  Copyright (C) 2026 HALVERON";
const char* const kAboutMaker = "HALVERON ELECTRONICS IND. CO., LTD";
const char* const kAboutDepartment = "Optical Storage Division";

namespace {
QLabel* Static(QWidget* parent, const char* id, const char* text, const QRect& rect) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setObjectName(QString::fromLatin1(id));
    label->setGeometry(rect);
    label->setTextFormat(Qt::PlainText);
    return label;
}
}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setFont(DialogFont());
    const DialogUnits du(font());
    setWindowTitle(QString::fromLatin1(kAboutCaption));
    setWindowIcon(AppIcon());
    setModal(true);
    setAcceptDrops(false);

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    // A static icon takes the icon's own size at its position, whatever its rectangle says.
    const QRect iconRect = du.Rect(11, 11, 20, 20);
    icon->setGeometry(iconRect.x(), iconRect.y(), 32, 32);
    icon->setPixmap(AppIcon().pixmap(32, 32));

    Static(this, "1009", kAboutTitle, du.Rect(39, 6, 170, 11));
    Static(this, "1006", kAboutVersion, du.Rect(36, 18, 171, 11));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setGeometry(du.Rect(3, 69, 213, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    Static(this, "1007", kAboutMaker, du.Rect(6, 33, 201, 11));
    Static(this, "1008", kAboutDepartment, du.Rect(6, 51, 204, 11));

    setFixedSize(du.X(219), du.Y(85));
    ok->setFocus();
}
