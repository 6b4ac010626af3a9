#pragma once

#include <QColor>
#include <QRect>

class QPainter;

// The level scale of the slot list: linear peaks (1.0 = full scale) shown in
// dBFS from -60 to 0, linear in dB; a level above full scale reaches beyond
// the top of the meter.

namespace MeterColours {
inline const QColor Black{0, 0, 0};
inline const QColor White{255, 255, 255};
inline const QColor Grey{128, 128, 128};
inline const QColor Red{255, 0, 0};
inline const QColor Orange{255, 102, 0};
inline const QColor Green{0, 255, 0};
} // namespace MeterColours

// 20 log10(x), and -999 for 0.
double LevelToDb(double x);
// 1 - LevelToDb(x) / -60, at least 0, not limited above.
double MeterFraction(double x);
// The factor by which a shown level falls per tick of `intervalMs` (20 dB in 1.5 s).
float MeterDecayPerTick(int intervalMs);
// The linear nominal level of a NominalLevel setting in dB (0 at or below -100).
float NominalFactor(int nominalDb);

// The displayed levels of one row: a new peak shows at once, then falls by the decay each paint.
struct TDisplayLevels {
    float Left = 0;
    float Right = 0;

    void Update(float peakLeft, float peakRight, float decay);
};

// One meter in `r` (right and bottom exclusive): a white frame with a grey
// border, the bar from the bottom (red above full scale, orange above the
// nominal, else green) and, for a nominal below full scale, a grey mark one
// row below the nominal's height.
void DrawLevelMeter(QPainter& p, const QRect& r, float level, float nominal);
