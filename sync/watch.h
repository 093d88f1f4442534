#pragma once

// Watching the store's folder for versions from elsewhere: sync tools replace the file by renaming
// another over it, which only the folder reports; a file rewritten in place reports only itself;
// a store that is a link into a synced folder changes in its target's folder. Events come in bursts,
// so they are gathered for a moment (300 ms) before `changed` is sent.

#include <QObject>
#include <QString>

class QFileSystemWatcher;
class QTimer;

class StoreWatch : public QObject
{
    Q_OBJECT

public:
    StoreWatch(const QString& storePath, QObject* parent = nullptr);

    void setDelay(int ms);
    // Forgets a burst that has not been reported yet (a look at the file is about to happen anyway).
    void cancelPending();

signals:
    void changed();

private:
    void onEvent();

    QString path;
    QFileSystemWatcher* watcher = nullptr;
    QTimer* delay = nullptr;
};
