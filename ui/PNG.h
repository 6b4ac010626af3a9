#pragma once

#include <QImage>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

// Named images for the windows. A name is looked up, in this order, as a file
// "images/<name>.png" beside the program, as the same file for its alias, as
// the built-in image of its alias and as a built-in image of its own ("__" in
// a name stands for a folder). Whatever is found first is kept for the rest of
// the run, also a failure (an empty image).
//
// Threads: the user-interface thread only; nothing is locked.
class TPNGStore {
public:
    // `baseFolder` is where the "images" folder is looked for; `aliases` holds
    // lines "name=alias" (line ends CR LF or LF).
    TPNGStore(QString baseFolder, const QByteArray& aliases);

    TPNGStore(const TPNGStore&) = delete;
    TPNGStore& operator=(const TPNGStore&) = delete;

    // The same object for the same name (compared exactly); owned by the store.
    const QImage& GetPNG(const QString& name);

    // The alias of a name (compared without regard to case), "" when it has none.
    QString Alias(const QString& name) const;

private:
    QImage Load(const QString& name) const;
    QString ImageFile(const QString& name) const;

    const QString FBaseFolder;
    std::vector<std::pair<QString, QString>> FAliases;
    // Held by pointer so that references handed out stay valid as the list grows.
    std::vector<std::pair<QString, std::unique_ptr<QImage>>> FImages;
};

// The program's store: the folder of the program file and the built-in alias list.
// Created at the first call, released at the end of the process.
const QImage& GetPNG(const QString& name);
