#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

namespace tonvara::test {

QString SourceDir()
{
    const QByteArray dir = qgetenv("TONVARA_SOURCE_DIR");
    return dir.isEmpty() ? QDir::currentPath() : QString::fromLocal8Bit(dir);
}

QString BinaryDir()
{
    const QByteArray dir = qgetenv("TONVARA_BINARY_DIR");
    return dir.isEmpty() ? QStringLiteral(TONVARA_BINARY_DIR_DEFAULT) : QString::fromLocal8Bit(dir);
}

QString AcmModulePath()
{
    return BinaryDir() + QStringLiteral("/lib/libtonvara_acm.so");
}

QString MakeTempDir(const QString& tag)
{
    QByteArray base = qgetenv("TONVARA_BINARY_DIR");
    QString root = base.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(base) + "/test-files";
    QDir().mkpath(root);
    QTemporaryDir dir(root + "/" + tag + "-XXXXXX");
    dir.setAutoRemove(false);
    return dir.path();
}

bool WaitUntil(const std::function<bool()>& done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool PollUntil(const std::function<bool()>& done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace tonvara::test
