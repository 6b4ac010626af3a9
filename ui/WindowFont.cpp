#include "WindowFont.h"

#include <QFontDatabase>

QFont WindowFont() {
    const QString family = QFontDatabase::hasFamily("Tahoma") ? QString("Tahoma") : QString("DejaVu Sans");
    QFont font(family, 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}
