#include "SlotRowPainter.h"

#include "SlotInfo.h"

#include <QFontMetrics>
#include <QPainter>

TSlotRowPainter::TSlotRowPainter(TImages images, QFont font) : FImages(std::move(images)), FFont(std::move(font)) {}

const QImage& TSlotRowPainter::Image(TSlotStatus::TImage image) const {
    switch (image) {
    case TSlotStatus::TImage::Ok:
        return FImages.Ok;
    case TSlotStatus::TImage::Error:
        return FImages.Error;
    default:
        return FImages.Disabled;
    }
}

void TSlotRowPainter::Text(QPainter& p, const QRect& row, int y, int points, bool bold, const QColor& colour,
                           const std::string& text, Qt::TextElideMode elide) const {
    QFont font = FFont;
    font.setPointSize(points);
    font.setBold(bold);
    p.setFont(font);
    p.setPen(colour);
    // The texts stop short of the meters.
    const int width = std::max(0, LeftMeter(row).left() - 4 - (row.left() + TextLeft));
    const QFontMetrics metrics(font);
    const QString shown = metrics.elidedText(QString::fromStdString(text), elide, width);
    p.drawText(QRect(row.left() + TextLeft, row.top() + y, width, metrics.height()), Qt::AlignLeft | Qt::AlignTop,
               shown);
}

void TSlotRowPainter::PaintTexts(QPainter& p, const QRect& row, const std::string& name, const TSlotStatus& status,
                                 bool highlighted) const {
    using namespace MeterColours;
    const QColor normal = highlighted ? White : Grey;
    const QColor strong = highlighted ? White : Black;
    Text(p, row, 4, 10, true, strong, name, Qt::ElideRight);
    Text(p, row, 20, 10, false, status.Line2Error || status.Line2Alarm ? Red : normal, status.Line2, Qt::ElideRight);
    if (status.Line3IsFile) {
        // The end of a path tells most: the file's date and time.
        Text(p, row, 38, 7, false, normal, status.Line3, Qt::ElideMiddle);
        Text(p, row, 50, 10, false, strong, status.Line4, Qt::ElideRight);
    } else {
        Text(p, row, 38, 10, false, status.Line3Error ? Red : normal, status.Line3, Qt::ElideRight);
        Text(p, row, 50, 10, false, normal, status.Line4, Qt::ElideRight);
    }
    if (const QImage& image = Image(status.Image); !image.isNull()) {
        p.save();
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(ImageBox.translated(row.topLeft()), image);
        p.restore();
    }
}

void TSlotRowPainter::PaintMeters(QPainter& p, const QRect& row, const TDisplayLevels& levels, float nominal) const {
    DrawLevelMeter(p, LeftMeter(row), levels.Left, nominal);
    DrawLevelMeter(p, RightMeter(row), levels.Right, nominal);
}

void TSlotRowPainter::Paint(QPainter& p, const QRect& row, const TSlotInfo& slot, TDisplayLevels& levels,
                            float meterDecay, bool highlighted, std::uint64_t nowMs) const {
    Paint(p, row, slot, DescribeSlot(slot, nowMs), levels, meterDecay, highlighted);
}

void TSlotRowPainter::Paint(QPainter& p, const QRect& row, const TSlotInfo& slot, const TSlotStatus& status,
                            TDisplayLevels& levels, float meterDecay, bool highlighted) const {
    PaintTexts(p, row, slot.Name, status, highlighted);
    levels.Update(slot.PeakLeft(), slot.PeakRight(), meterDecay);
    PaintMeters(p, row, levels, NominalFactor(slot.NominalLevel));
}
