#include "platform/ui/Resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

void AddRoot(QStringList& roots, const QString& path)
{
    if (path.isEmpty())
        return;
    const QFileInfo info(path);
    if (!info.isDir())
        return;
    const QString canonical = path.startsWith(QLatin1String(":/")) ? path : info.canonicalFilePath();
    if (!roots.contains(canonical))
        roots.append(canonical);
}

QString FindIn(const QString& folder, const QString& fileName)
{
    const QDir dir(folder);
    for (const QString& entry : dir.entryList(QDir::Files)) {
        if (entry.compare(fileName, Qt::CaseInsensitive) == 0)
            return dir.filePath(entry);
    }
    return {};
}

} // namespace

QStringList ResourceRoots()
{
    QStringList roots;
    AddRoot(roots, QStringLiteral(":/resources"));
    AddRoot(roots, qEnvironmentVariable("TONVARA_RESOURCE_DIR"));
    const QString programDir
        = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    if (!programDir.isEmpty()) {
        AddRoot(roots, programDir + QStringLiteral("/resources"));
        AddRoot(roots, programDir + QStringLiteral("/../share/tonvara/resources"));
    }
    const QString sourceDir = qEnvironmentVariable("TONVARA_SOURCE_DIR");
    if (!sourceDir.isEmpty())
        AddRoot(roots, sourceDir + QStringLiteral("/resources"));
    if (!programDir.isEmpty()) {
        QDir dir(programDir);
        while (dir.cdUp()) {
            if (QFileInfo(dir.filePath(QStringLiteral("resources"))).isDir()) {
                AddRoot(roots, dir.filePath(QStringLiteral("resources")));
                break;
            }
        }
    }
    return roots;
}

QString FindResourceFile(const QString& name, const QString& extension)
{
    if (name.isEmpty())
        return {};
    const QString fileName = name + extension;
    for (const QString& root : ResourceRoots()) {
        QString found = FindIn(root, fileName);
        if (!found.isEmpty())
            return found;
        const QDir dir(root);
        for (const QString& sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            found = FindIn(dir.filePath(sub), fileName);
            if (!found.isEmpty())
                return found;
        }
    }
    return {};
}

QString ResourceFile(const QString& name, const QString& extension)
{
    const QString path = FindResourceFile(name, extension);
    if (path.isEmpty())
        throw EResNotFound(QStringLiteral("Resource %1 not found").arg(name));
    return path;
}
