#include "PNG.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

namespace {

// Built-in images are resources named "png_" + name; resource names compare
// without regard to case, so they are stored in lower case.
QImage LoadResource(const QString& name) {
    return QImage(":/png_" + name.toLower(), "PNG");
}

QByteArray BuiltInAliases() {
    QFile file(":/pngaliases");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TPNGStore::TPNGStore(QString baseFolder, const QByteArray& aliases) : FBaseFolder(std::move(baseFolder)) {
    for (const QByteArray& raw : aliases.split('\n')) {
        const QString line = QString::fromUtf8(raw).remove('\r');
        const qsizetype eq = line.indexOf('=');
        if (eq > 0) {
            FAliases.emplace_back(line.left(eq), line.mid(eq + 1));
        }
    }
}

const QImage& TPNGStore::GetPNG(const QString& name) {
    for (const auto& [key, image] : FImages) {
        if (key == name) {
            return *image;
        }
    }
    FImages.emplace_back(name, std::make_unique<QImage>(Load(name)));
    return *FImages.back().second;
}

QString TPNGStore::Alias(const QString& name) const {
    for (const auto& [key, alias] : FAliases) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return alias;
        }
    }
    return {};
}

QString TPNGStore::ImageFile(const QString& name) const {
    QString relative = name;
    relative.replace("__", "/");
    QString base = FBaseFolder;
    if (!base.endsWith('/')) {
        base += '/';
    }
    return base + "images/" + relative + ".png";
}

QImage TPNGStore::Load(const QString& name) const {
    const QString alias = Alias(name);
    // A damaged file or a missing resource gives an empty image, which is what
    // QImage's loading gives for any failure.
    if (const QString own = ImageFile(name); QFileInfo::exists(own)) {
        return QImage(own, "PNG");
    }
    if (!alias.isEmpty()) {
        if (const QString file = ImageFile(alias); QFileInfo::exists(file)) {
            return QImage(file, "PNG");
        }
        return LoadResource(alias);
    }
    return LoadResource(name);
}

const QImage& GetPNG(const QString& name) {
    static TPNGStore store(QCoreApplication::applicationDirPath(), BuiltInAliases());
    return store.GetPNG(name);
}
