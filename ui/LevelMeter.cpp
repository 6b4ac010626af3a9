#include "LevelMeter.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

double LevelToDb(double x) { return x != 0 ? 20 * std::log10(x) : -999; }

double MeterFraction(double x) { return std::max(0.0, 1 - LevelToDb(x) / -60); }

float MeterDecayPerTick(int intervalMs) {
    const double d = -20 / (1.5 / (intervalMs / 1000.0));
    return d > -999 ? static_cast<float>(std::pow(10.0, d / 20)) : 0.0f;
}

float NominalFactor(int nominalDb) {
    return nominalDb <= -100 ? 0.0f : static_cast<float>(std::pow(10.0, nominalDb / 20.0));
}

void TDisplayLevels::Update(float peakLeft, float peakRight, float decay) {
    auto next = [decay](float shown, float peak) { return std::max(std::max(shown * decay, peak), 0.0f); };
    Left = next(Left, peakLeft);
    Right = next(Right, peakRight);
}

namespace {

// The row of a level within the meter, truncated towards zero.
int LevelRow(const QRect& r, float level) {
    const int top = r.top();
    const int bottom = r.top() + r.height(); // exclusive
    return static_cast<int>(MeterFraction(level) * (top - bottom) + bottom);
}

} // namespace

void DrawLevelMeter(QPainter& p, const QRect& r, float level, float nominal) {
    const int left = r.left();
    const int right = r.left() + r.width(); // exclusive
    const int bottom = r.top() + r.height(); // exclusive
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(r, MeterColours::White);
    p.setPen(MeterColours::Grey);
    p.setBrush(Qt::NoBrush);
    p.drawRect(left, r.top(), r.width() - 1, r.height() - 1);

    const int y = LevelRow(r, level);
    const QColor bar = level > 1.0f      ? MeterColours::Red
                       : level > nominal ? MeterColours::Orange
                                         : MeterColours::Green;
    if (y + 1 < bottom) {
        p.fillRect(QRect(QPoint(left + 1, y + 1), QPoint(right - 1, bottom - 1)), bar);
    }
    if (nominal < 1.0f) {
        const int mark = LevelRow(r, nominal) + 1;
        p.setPen(MeterColours::Grey);
        p.drawLine(left, mark, right - 1, mark);
    }
    p.restore();
}
