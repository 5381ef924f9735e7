#include "app/Autostart.h"

#include "app/Options.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <cstdio>

namespace {

// Characters that make an Exec argument need its double quotes.
const QString kReserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");

QString QuotedArgument(const QString& argument)
{
    QString text;
    if (!argument.isEmpty()
        && std::none_of(argument.begin(), argument.end(), [](QChar c) { return kReserved.contains(c); })) {
        text = argument;
    } else {
        text = QLatin1Char('"');
        for (const QChar c : argument) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
                || c == QLatin1Char('\\'))
                text += QLatin1Char('\\');
            text += c;
        }
        text += QLatin1Char('"');
    }
    // A '%' would start a field code.
    text.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return text;
}

// The string-value escapes, applied over the quoting.
QString EscapedValue(const QString& value)
{
    QString text;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            text += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            text += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            text += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            text += QStringLiteral("\\r");
        else
            text += c;
    }
    return text;
}

QString ThisProgram()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

} // namespace

QString AutostartEntryPath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // A relative value is to be ignored, as the base directory rules say.
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return QDir::cleanPath(config + QStringLiteral("/autostart/tonvara.desktop"));
}

QString DesktopExecLine(const QString& program, const QStringList& arguments)
{
    QStringList words { QuotedArgument(program) };
    for (const QString& argument : arguments)
        words.append(QuotedArgument(argument));
    return EscapedValue(words.join(QLatin1Char(' ')));
}

QString AutostartEntry(const QString& program, const QStringList& arguments)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Tonvara\n"
                          "Comment=Record the sound card's input into hourly WAV files\n"
                          "Exec=%1\n"
                          "Icon=tonvara\n"
                          "Terminal=false\n"
                          "Categories=AudioVideo;Audio;Recorder;\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(DesktopExecLine(program, arguments));
}

int WriteAutostartEntry(const QString& options)
{
    const QString path = AutostartEntryPath();
    // The options were checked as the command line was read.
    const QStringList arguments
        = WithAbsolutePaths(SplitOptions(options).value_or(QStringList()), QDir::currentPath());
    const QString exec = DesktopExecLine(ThisProgram(), arguments);
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        std::fprintf(
            stderr, "tonvara: cannot create the folder %s for the autostart entry\n", qPrintable(folder));
        return 1;
    }
    QSaveFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Text)
        && file.write(AutostartEntry(ThisProgram(), arguments).toUtf8()) >= 0 && file.commit();
    if (!written) {
        std::fprintf(stderr, "tonvara: cannot write the autostart entry %s: %s\n", qPrintable(path),
            qPrintable(file.errorString()));
        return 1;
    }
    std::printf("tonvara: wrote %s; at every login it runs: %s\n", qPrintable(path), qPrintable(exec));
    return 0;
}

int RemoveAutostartEntry()
{
    const QString path = AutostartEntryPath();
    QFile file(path);
    if (!file.exists()) {
        std::printf("tonvara: there is no autostart entry %s; nothing removed\n", qPrintable(path));
        return 0;
    }
    if (!file.remove()) {
        std::fprintf(stderr, "tonvara: cannot remove the autostart entry %s: %s\n", qPrintable(path),
            qPrintable(file.errorString()));
        return 1;
    }
    std::printf("tonvara: removed %s; the program no longer starts at login\n", qPrintable(path));
    return 0;
}
