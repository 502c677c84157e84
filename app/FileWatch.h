// Tells when a file the app shows has changed on disk: written in place,
// replaced by an editor's rename, made or removed.  Watches through inotify
// (QFileSystemWatcher) the file and the nearest directory there is, and
// watches anew after each change, since a file replaced by a rename is a
// new file.
#ifndef TAVRO_CONTROL_FILE_WATCH_H
#define TAVRO_CONTROL_FILE_WATCH_H

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

namespace tavro::control {

class FileWatch : public QObject {
    Q_OBJECT
public:
    explicit FileWatch(QObject* parent = nullptr);
    // Watches `path` from now on; its present content counts as seen.
    void setPath(const QString& path);
    QString path() const { return path_; }
    // The file as it is now counts as seen: for a reader that has just
    // read it, or a writer that has just written it.
    void markSeen();

signals:
    // The file's size or time differs from what was last seen.
    void changed();

private:
    void look();
    void watch();
    QString stamp() const;

    QFileSystemWatcher watcher_;
    QString path_;
    QString stamp_;  // size and time of the file as last seen
};

}  // namespace tavro::control

#endif
