// A slot's row and its level meters painted into an image, checked pixel by pixel.
#include "LevelMeter.h"
#include "PNG.h"
#include "SlotFixture.h"
#include "SlotRowPainter.h"
#include "WindowFont.h"

#include <QPainter>

#include "UiSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace TestSupport;

namespace {

const QColor Background(10, 20, 200); // neither a text nor a meter colour

QImage Canvas(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Background);
    return image;
}

// Pixels of `image` inside `r` for which `test` holds.
int Count(const QImage& image, const QRect& r, const std::function<bool(QColor)>& test) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            n += test(QColor(image.pixel(x, y))) ? 1 : 0;
        }
    }
    return n;
}

bool IsRed(QColor c) { return c.red() > 200 && c.green() < 80 && c.blue() < 80; }
bool IsWhite(QColor c) { return c.red() > 240 && c.green() > 240 && c.blue() > 240; }
bool IsBlack(QColor c) { return c.red() < 40 && c.green() < 40 && c.blue() < 40; }
// Grey text on the blue background blends towards grey: red and green rise together.
bool IsGreyText(QColor c) { return c.red() > 60 && std::abs(c.red() - c.green()) < 25; }

// The rows of the texts' bands: line 1 at 4, line 2 at 20, line 3 at 38, line 4 at 50.
QRect Band(int top, int height) { return QRect(60, top, 290, height); }

class TMeterTest : public ::testing::Test {
protected:
    // One meter at columns 10..25 and rows 4..63, like the left meter of a row.
    QImage Meter(float level, float nominal) {
        QImage image = Canvas(QSize(40, 80));
        QPainter p(&image);
        DrawLevelMeter(p, Rect, level, nominal);
        return image;
    }
    // The topmost row at column 18 with the colour, or -1.
    static int TopOf(const QImage& image, QColor colour) {
        for (int y = 0; y < image.height(); ++y) {
            if (QColor(image.pixel(18, y)) == colour) {
                return y;
            }
        }
        return -1;
    }
    const QRect Rect{10, 4, 16, 60};
};

} // namespace

TEST(LevelScale, DbAndFractionCoverMinus60To0AndBeyond) {
    EXPECT_EQ(LevelToDb(0), -999);
    EXPECT_NEAR(LevelToDb(0.1), -20, 1e-9);
    EXPECT_NEAR(MeterFraction(1.0), 1.0, 1e-12);
    EXPECT_NEAR(MeterFraction(0.001), 0.0, 1e-9);
    EXPECT_EQ(MeterFraction(0), 0) << "silence is not negative";
    EXPECT_EQ(MeterFraction(0.0001), 0) << "below -60 dB";
    EXPECT_GT(MeterFraction(2.0), 1.0) << "not limited above";
    EXPECT_NEAR(MeterDecayPerTick(100), 0.857696f, 1e-6);
    EXPECT_EQ(NominalFactor(-100), 0.0f);
    EXPECT_EQ(NominalFactor(-32768), 0.0f);
    EXPECT_NEAR(NominalFactor(-6), 0.501187f, 1e-6);
    EXPECT_EQ(NominalFactor(0), 1.0f);
}

TEST_F(TMeterTest, SilenceLeavesTheFrameEmpty) {
    const QImage image = Meter(0, 1);
    EXPECT_EQ(Count(image, QRect(11, 5, 14, 58), IsWhite), 14 * 58);
    EXPECT_EQ(QColor(image.pixel(10, 30)), MeterColours::Grey) << "left border";
    EXPECT_EQ(QColor(image.pixel(18, 4)), MeterColours::Grey) << "top border";
    EXPECT_EQ(QColor(image.pixel(18, 63)), MeterColours::Grey) << "bottom border";
    EXPECT_EQ(QColor(image.pixel(18, 66)), Background) << "nothing below at the default nominal";
}

TEST_F(TMeterTest, FullScaleIsGreenToTheTopAndAboveItRedBeyondTheTop) {
    QImage image = Meter(1.0f, 1.0f);
    EXPECT_EQ(TopOf(image, MeterColours::Green), 5);
    EXPECT_EQ(QColor(image.pixel(18, 63)), MeterColours::Green) << "down to the bottom row";
    EXPECT_EQ(QColor(image.pixel(25, 30)), MeterColours::Green) << "the bar covers the right border column";
    EXPECT_EQ(QColor(image.pixel(18, 4)), MeterColours::Grey);

    image = Meter(1.5f, 1.0f);
    EXPECT_EQ(Count(image, QRect(11, 5, 15, 59), IsWhite), 0);
    EXPECT_EQ(QColor(image.pixel(18, 40)), MeterColours::Red);
    EXPECT_LT(TopOf(image, MeterColours::Red), 4) << "reaches beyond the top";
}

TEST_F(TMeterTest, AboveTheNominalIsOrangeWithTheMarkOneRowBelowTheNominal) {
    const float nominal = NominalFactor(-12); // fraction 0.8, row 4 + 12 = 16
    QImage image = Meter(0.5f, nominal);
    EXPECT_EQ(QColor(image.pixel(18, 40)), MeterColours::Orange);
    EXPECT_EQ(QColor(image.pixel(18, 17)), MeterColours::Grey) << "the mark";
    EXPECT_EQ(QColor(image.pixel(10, 17)), MeterColours::Grey) << "across the whole width";
    EXPECT_EQ(QColor(image.pixel(25, 17)), MeterColours::Grey);
    EXPECT_EQ(QColor(image.pixel(18, 16)), MeterColours::Orange);
    EXPECT_EQ(QColor(image.pixel(18, 18)), MeterColours::Orange);

    image = Meter(0.2f, nominal);
    EXPECT_EQ(QColor(image.pixel(18, 60)), MeterColours::Green) << "below the nominal";
    EXPECT_EQ(QColor(image.pixel(18, 17)), MeterColours::Grey);

    image = Meter(1.0f, NominalFactor(-100));
    EXPECT_EQ(QColor(image.pixel(18, 30)), MeterColours::Orange) << "any level above a nominal of 0";
    EXPECT_EQ(QColor(image.pixel(18, 65)), MeterColours::Grey) << "the mark just below the meter";
}

TEST_F(TMeterTest, AfterALoudPeakTheLevelFalls20DbIn15Ticks) {
    const float decay = MeterDecayPerTick(100);
    TDisplayLevels levels;
    levels.Update(1.0f, 0.5f, decay);
    EXPECT_EQ(levels.Left, 1.0f) << "a new peak shows at once";
    EXPECT_EQ(levels.Right, 0.5f);
    for (int tick = 0; tick < 15; ++tick) {
        levels.Update(0, 0, decay);
    }
    EXPECT_NEAR(LevelToDb(levels.Left), -20, 0.01);
    EXPECT_NEAR(LevelToDb(levels.Right), -26.02, 0.01);
    const float right = levels.Right;
    levels.Update(0.3f, -0.1f, decay);
    EXPECT_EQ(levels.Left, 0.3f) << "a peak above the falling level replaces it";
    EXPECT_FLOAT_EQ(levels.Right, right * decay) << "a lower peak leaves it falling";

    // -20 dB is a third of the way down: the bar's top at row 4 + 20.
    const QImage image = Meter(0.1f, 1.0f);
    EXPECT_NEAR(TopOf(image, MeterColours::Green), 25, 1);
}

// Rows of real slots in each state of the table, painted as the list paints them.
class TSlotRowPaintTest : public TSlotFixture {
protected:
    TSlotRowPaintTest()
        : Painter({GetPNG("status_ok"), GetPNG("status_disabled"), GetPNG("status_error")}, WindowFont()) {}

    QImage Paint(const TSlotInfo& slot, bool highlighted) {
        QImage image = Canvas(QSize(400, 100));
        QPainter p(&image);
        TDisplayLevels levels;
        Painter.Paint(p, QRect(0, 0, 400, 70), slot, levels, MeterDecayPerTick(100), highlighted,
                      GetMilliseconds());
        return image;
    }
    std::unique_ptr<TSlotInfo> Slot(const std::vector<std::pair<std::string, std::string>>& keys) {
        auto slot = MakeSlot(FNext++, keys);
        slot->StartInput();
        return slot;
    }
    // The status image at the centre of its box.
    static QColor ImageCentre(const QImage& image) { return QColor(image.pixel(26, 36)); }
    static QColor Centre(const QImage& status) { return QColor(status.pixel(24, 24)); }

    TSlotRowPainter Painter;
    int FNext = 0;
};

TEST_F(TSlotRowPaintTest, DisabledAndErrorRowsShowTheirColoursAndImages) {
    auto off = Slot({{"Name", "Off"}});
    QImage image = Paint(*off, false);
    EXPECT_GT(Count(image, Band(4, 14), IsBlack), 10) << "the name in black";
    EXPECT_GT(Count(image, Band(20, 16), IsGreyText), 10) << "\"Disabled\" in grey";
    EXPECT_EQ(Count(image, Band(20, 16), IsRed), 0);
    EXPECT_EQ(ImageCentre(image), Centre(GetPNG("status_disabled")));

    auto failed = Slot({{"Name", "Failed"}, {"Source", "Soundcard"}, {"Device", "WDM:77"}, {"Folder", Folder()}});
    for (bool highlighted : {false, true}) {
        image = Paint(*failed, highlighted);
        EXPECT_GT(Count(image, Band(20, 16), IsRed), 10) << "red whether highlighted or not";
        EXPECT_EQ(ImageCentre(image), Centre(GetPNG("status_error")));
    }
    EXPECT_GT(Count(image, Band(4, 14), IsWhite), 10) << "a highlighted name is white";
    EXPECT_EQ(Count(image, Band(4, 14), IsBlack), 0);
}

TEST_F(TSlotRowPaintTest, ARecordingRowShowsTheFileSmallAndTheTimeInBlack) {
    auto slot = Slot({{"Name", "Studio"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}, {"Folder", Folder()}});
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
    const QImage image = Paint(*slot, false);
    EXPECT_EQ(ImageCentre(image), Centre(GetPNG("status_ok")));
    EXPECT_GT(Count(image, Band(20, 16), IsGreyText), 10) << "the device name";
    EXPECT_GT(Count(image, Band(50, 16), IsBlack), 10) << "the elapsed time in black";
    EXPECT_GT(Count(image, Band(38, 10), IsGreyText), 5) << "the path";
    // The tone's peaks have reached the meters.
    EXPECT_TRUE(WaitUntil([&] { return slot->PeakLeft() > 0.4f; }, 5));
    const QImage metering = Paint(*slot, false);
    EXPECT_EQ(QColor(metering.pixel(368, 40)), MeterColours::Green);
    EXPECT_EQ(QColor(metering.pixel(383, 40)), MeterColours::Green);
}

TEST_F(TSlotRowPaintTest, AFilePathIsSmallerThanOtherTexts) {
    // The height of the ink on line 3 (line 4 left empty).
    auto inkHeight = [&](bool isFile) {
        TSlotStatus status;
        status.Line3 = "/Rec/2011/03/15/2011-03-15-14-00-00.mp3";
        status.Line3IsFile = isFile;
        QImage image = Canvas(QSize(400, 100));
        QPainter p(&image);
        Painter.PaintTexts(p, QRect(0, 0, 400, 70), "", status, false);
        p.end();
        int top = 100, bottom = -1;
        for (int y = 36; y < 70; ++y) {
            if (Count(image, Band(y, 1), [](QColor c) { return c != Background; }) > 0) {
                top = std::min(top, y);
                bottom = y;
            }
        }
        return bottom - top + 1;
    };
    const int small = inkHeight(true);
    const int normal = inkHeight(false);
    EXPECT_GT(small, 4);
    EXPECT_LT(small * 10, normal * 9) << small << " against " << normal;
}

TEST_F(TSlotRowPaintTest, AStoppedRowIsGreyAndAFailedEncoderRed) {
    auto stopped = Slot({{"Source", "Soundcard"}, {"Device", "TEST:0"}, {"Folder", Folder()}, {"Enabled", "off"}});
    QImage image = Paint(*stopped, false);
    EXPECT_GT(Count(image, Band(38, 16), IsGreyText), 10) << "\"Encoder stopped\"";
    EXPECT_EQ(Count(image, Band(38, 16), IsRed), 0);
    EXPECT_EQ(ImageCentre(image), Centre(GetPNG("status_disabled")));

    auto failing = Slot({{"Source", "Soundcard"}, {"Device", "TEST:0"}, {"Folder", Folder()}, {"Format", "wmapro"}});
    failing->RestartEncoder();
    image = Paint(*failing, false);
    EXPECT_GT(Count(image, Band(38, 16), IsRed), 10) << "\"Encoder error: ...\"";
    EXPECT_EQ(Count(image, Band(20, 16), IsRed), 0) << "the device line stays grey";
    EXPECT_EQ(ImageCentre(image), Centre(GetPNG("status_error")));
}
