#pragma once

#include <QThread>

class UpdateThread : public QThread
{
    Q_OBJECT
public:
    using QThread::QThread;
};
