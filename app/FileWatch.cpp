#include "FileWatch.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace tavro::control {

FileWatch::FileWatch(QObject* parent) : QObject(parent) {
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &FileWatch::look);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &FileWatch::look);
}

void FileWatch::setPath(const QString& path) {
    path_ = path;
    stamp_ = stamp();
    watch();
}

void FileWatch::markSeen() { stamp_ = stamp(); }

QString FileWatch::stamp() const {
    const QFileInfo info(path_);
    return info.exists() ? QStringLiteral("%1 %2").arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch())
                         : QString();
}

void FileWatch::look() {
    watch();
    const QString now = stamp();
    if (now == stamp_) return;
    stamp_ = now;
    emit changed();
}

void FileWatch::watch() {
    if (!watcher_.files().isEmpty()) watcher_.removePaths(watcher_.files());
    if (!watcher_.directories().isEmpty()) watcher_.removePaths(watcher_.directories());
    if (path_.isEmpty()) return;
    const QFileInfo file(path_);
    if (file.exists()) watcher_.addPath(file.absoluteFilePath());
    // The file's directory, or the nearest one there is where it is yet to
    // be made.
    QDir directory = file.absoluteDir();
    while (!directory.exists() && directory.cdUp()) {
    }
    watcher_.addPath(directory.absolutePath());
}

}  // namespace tavro::control
