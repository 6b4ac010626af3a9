// The folder picker on Qt's own folder dialog, answered as a user would.
#include "SelectFolder.h"
#include "TestSupport.h"
#include "UiSupport.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>

using namespace TestSupport;

TEST(SelectFolder, CancelGivesFalseAndClearsAFolderThatDoesNotExist) {
    TTempDir dir;
    QString folder = QString::fromStdString(dir.File("missing"));
    QString caption;
    TModalAnswerer cancel([&](QWidget* w) {
        caption = w->windowTitle();
        qobject_cast<QDialog*>(w)->reject();
    });
    EXPECT_FALSE(SelectFolder(nullptr, "Select Output Folder", QString::fromStdString(dir.Path().string()), folder));
    EXPECT_TRUE(cancel.Answered());
    EXPECT_EQ(caption, "Select Output Folder");
    EXPECT_EQ(folder, "");

    std::filesystem::create_directories(dir.Path() / "kept");
    folder = QString::fromStdString(dir.File("kept"));
    TModalAnswerer again([](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
    EXPECT_FALSE(SelectFolder(nullptr, "Select Output Folder", "/", folder));
    EXPECT_EQ(folder.toStdString(), dir.File("kept")) << "an existing folder stays";
}

TEST(SelectFolder, OkGivesTheChosenFolderAndATypedPathThatDoesNotExistIsRefused) {
    TTempDir dir;
    std::filesystem::create_directories(dir.Path() / "a" / "b");
    const QString b = QString::fromStdString(dir.File("a/b"));
    QString folder = QString::fromStdString(dir.File("a")); // the choice must replace it
    QString message;
    bool stayedOpen = false;
    TModalAnswerer dialog([&](QWidget* w) {
        auto* picker = qobject_cast<QFileDialog*>(w);
        auto* typed = picker->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(typed, nullptr);
        // Typed as a user would, once the dialog has listed its folder (its
        // listing, done in the background, would otherwise put back its own choice).
        auto type = [&](const QString& path) {
            QTest::qWait(150);
            typed->setText(path);
        };
        type(QString::fromStdString(dir.File("a/nowhere")));
        auto refusal = TModalAnswerer::Clicking("OK");
        static_cast<QDialog*>(picker)->accept();
        message = refusal.Text();
        stayedOpen = picker->isVisible();
        type(b);
        static_cast<QDialog*>(picker)->accept();
    });
    EXPECT_TRUE(SelectFolder(nullptr, "Select Output Folder", "/", folder));
    EXPECT_EQ(message, InvalidPathMessage(QString::fromStdString(dir.File("a/nowhere"))));
    EXPECT_TRUE(message.startsWith('"') && message.endsWith("\" is an invalid path")) << message.toStdString();
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(folder, b);
}
