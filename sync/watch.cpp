#include "sync/watch.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

StoreWatch::StoreWatch(const QString& storePath, QObject* parent) : QObject(parent), path(storePath)
{
    delay = new QTimer(this);
    delay->setSingleShot(true);
    delay->setInterval(300);
    connect(delay, &QTimer::timeout, this, &StoreWatch::changed);
    watcher = new QFileSystemWatcher(this);
    const QFileInfo file(path);
    watcher->addPath(file.absolutePath());
    const QString target = file.canonicalFilePath();
    if (!target.isEmpty() && QFileInfo(target).absolutePath() != file.absolutePath())
        watcher->addPath(QFileInfo(target).absolutePath());
    if (file.exists())
        watcher->addPath(file.filePath());
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, &StoreWatch::onEvent);
    connect(watcher, &QFileSystemWatcher::fileChanged, this, &StoreWatch::onEvent);
}

void StoreWatch::setDelay(int ms)
{
    delay->setInterval(ms);
}

void StoreWatch::cancelPending()
{
    delay->stop();
}

void StoreWatch::onEvent()
{
    // A file replaced by a rename is no longer the one watched.
    if (!watcher->files().contains(path) && QFileInfo::exists(path))
        watcher->addPath(path);
    if (!delay->isActive())
        delay->start();
}
