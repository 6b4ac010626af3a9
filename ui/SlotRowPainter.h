#pragma once

#include "LevelMeter.h"
#include "SlotStatus.h"

#include <QFont>
#include <QImage>
#include <QRect>

#include <cstdint>
#include <string>

class QPainter;
class TSlotInfo;

// Paints one row of the slot list: the name, the state lines, the status image
// and the two level meters. Coordinates are from the row's top-left corner;
// the meters stand at the row's right edge.
class TSlotRowPainter {
public:
    struct TImages {
        QImage Ok;
        QImage Disabled;
        QImage Error;
    };

    TSlotRowPainter(TImages images, QFont font);

    // Reads the slot afresh and moves `levels` on by one paint, falling by `meterDecay`.
    void Paint(QPainter& p, const QRect& row, const TSlotInfo& slot, TDisplayLevels& levels, float meterDecay,
               bool highlighted, std::uint64_t nowMs) const;
    // The same with the texts of `status` (read by the caller).
    void Paint(QPainter& p, const QRect& row, const TSlotInfo& slot, const TSlotStatus& status,
               TDisplayLevels& levels, float meterDecay, bool highlighted) const;

    // The parts of Paint.
    void PaintTexts(QPainter& p, const QRect& row, const std::string& name, const TSlotStatus& status,
                    bool highlighted) const;
    void PaintMeters(QPainter& p, const QRect& row, const TDisplayLevels& levels, float nominal) const;

    static constexpr int TextLeft = 60;
    static constexpr QRect ImageBox{2, 12, 48, 48};
    // Left meter from W - 39 to W - 23, right meter from W - 24 to W - 8 (exclusive), rows 4 to 64.
    static QRect LeftMeter(const QRect& row) { return QRect(row.right() + 1 - 39, row.top() + 4, 16, 60); }
    static QRect RightMeter(const QRect& row) { return QRect(row.right() + 1 - 24, row.top() + 4, 16, 60); }

private:
    const QImage& Image(TSlotStatus::TImage image) const;
    void Text(QPainter& p, const QRect& row, int y, int points, bool bold, const QColor& colour,
              const std::string& text, Qt::TextElideMode elide) const;

    TImages FImages;
    QFont FFont;
};
