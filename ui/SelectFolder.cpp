#include "SelectFolder.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {

// Refuses a typed path that does not name an existing folder, with our message,
// instead of letting the dialog create or accept it.
class TFolderDialog : public QFileDialog {
public:
    TFolderDialog(QWidget* owner, const QString& caption) : QFileDialog(owner, caption) {
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly);
        // Qt's own dialog: the same on every desktop, with its "Create New Folder" button.
        setOption(QFileDialog::DontUseNativeDialog);
    }

    void accept() override {
        const QStringList chosen = selectedFiles();
        const QString path = chosen.isEmpty() ? QString() : chosen.first();
        if (!QFileInfo(path).isDir()) {
            QMessageBox::critical(this, windowTitle(), InvalidPathMessage(QDir::toNativeSeparators(path)),
                                  QMessageBox::Ok);
            return;
        }
        QFileDialog::accept();
    }
};

} // namespace

QString InvalidPathMessage(const QString& typed) {
    return QString("\"%1\" is an invalid path").arg(typed);
}

bool SelectFolder(QWidget* owner, const QString& caption, const QString& root, QString& folder) {
    if (!QFileInfo(folder).isDir()) {
        folder.clear();
    }
    TFolderDialog dialog(owner, caption);
    if (!folder.isEmpty()) {
        const QDir dir(folder);
        QDir parent = dir;
        if (parent.cdUp()) {
            dialog.setDirectory(parent);
        }
        dialog.selectFile(dir.absolutePath());
    } else {
        dialog.setDirectory(root);
    }
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) {
        return false;
    }
    folder = QDir::cleanPath(chosen.first());
    return true;
}
