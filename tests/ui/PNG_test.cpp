// The image store against real files in a temporary "images" folder and the
// built-in images compiled into the program.
#include "PNG.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>

#include "UiSupport.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

const QByteArray Aliases = "status_ok=nuvola__48x48__actions__ledlightgreen\r\n"
                           "status_error=nuvola__48x48__actions__messagebox_warning\r\n";

// A PNG of `size` x `size` pixels in one colour at `path`, with its folders.
void WritePng(const QString& path, int size, QColor colour) {
    QDir().mkpath(QFileInfo(path).path());
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(colour);
    ASSERT_TRUE(image.save(path, "PNG"));
}

class TPNGStoreTest : public ::testing::Test {
protected:
    QString Base() const { return QString::fromStdString(Dir.Path().string()); }
    TTempDir Dir;
};

} // namespace

TEST_F(TPNGStoreTest, TheBuiltInStatusImagesAre48PixelRGBA) {
    for (const char* name : {"status_ok", "status_disabled", "status_error"}) {
        const QImage& image = GetPNG(name);
        ASSERT_FALSE(image.isNull()) << name;
        EXPECT_EQ(image.size(), QSize(48, 48)) << name;
        EXPECT_TRUE(image.hasAlphaChannel()) << name;
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << name << ": the corners are transparent";
        EXPECT_EQ(&GetPNG(name), &image) << "the same object every time";
    }
    EXPECT_GT(qGreen(GetPNG("status_ok").pixel(24, 24)), qRed(GetPNG("status_ok").pixel(24, 24)));
    EXPECT_GT(qRed(GetPNG("status_disabled").pixel(24, 24)), qGreen(GetPNG("status_disabled").pixel(24, 24)));
}

TEST_F(TPNGStoreTest, AnOwnFileWinsOverTheAliasFileWhichWinsOverTheBuiltInImage) {
    WritePng(Base() + "/images/nuvola/48x48/actions/ledlightgreen.png", 3, Qt::blue);
    {
        TPNGStore store(Base(), Aliases);
        EXPECT_EQ(store.GetPNG("status_ok").size(), QSize(3, 3)) << "the alias file";
        EXPECT_EQ(store.GetPNG("status_error").size(), QSize(48, 48)) << "the built-in image of the alias";
    }
    WritePng(Base() + "/images/status_ok.png", 2, Qt::red);
    TPNGStore store(Base(), Aliases);
    const QImage& own = store.GetPNG("status_ok");
    EXPECT_EQ(own.size(), QSize(2, 2));
    EXPECT_EQ(QColor(own.pixel(0, 0)), QColor(Qt::red));
}

TEST_F(TPNGStoreTest, ImagesAreCachedForTheRunAlsoWhenNothingWasFound) {
    TPNGStore store(Base(), Aliases);
    const QImage& first = store.GetPNG("status_ok");
    const QImage& missing = store.GetPNG("nothing");
    EXPECT_TRUE(missing.isNull());
    WritePng(Base() + "/images/status_ok.png", 2, Qt::red);
    WritePng(Base() + "/images/nothing.png", 2, Qt::red);
    EXPECT_EQ(&store.GetPNG("status_ok"), &first);
    EXPECT_EQ(store.GetPNG("status_ok").size(), QSize(48, 48)) << "a file placed later counts from the next start";
    EXPECT_EQ(&store.GetPNG("nothing"), &missing);
    EXPECT_TRUE(store.GetPNG("nothing").isNull());
}

TEST_F(TPNGStoreTest, NamesCompareExactlyInTheStoreButNotInTheAliasList) {
    TPNGStore store(Base(), Aliases);
    const QImage& lower = store.GetPNG("status_ok");
    const QImage& upper = store.GetPNG("STATUS_OK");
    EXPECT_NE(&lower, &upper) << "a second image";
    EXPECT_EQ(upper.size(), QSize(48, 48)) << "found through the alias all the same";
    EXPECT_EQ(store.Alias("Status_Error"), "nuvola__48x48__actions__messagebox_warning");
    EXPECT_EQ(store.Alias("status_disabled"), "") << "not in this list";
}

TEST_F(TPNGStoreTest, ADamagedFileGivesAnEmptyImage) {
    QDir().mkpath(Base() + "/images");
    QFile file(Base() + "/images/status_ok.png");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\x89PNG\r\n\x1a\nnot really");
    file.close();
    TPNGStore store(Base(), Aliases);
    EXPECT_TRUE(store.GetPNG("status_ok").isNull()) << "the damaged own file is not passed over";
}
