#include "app/Options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <utility>
#include <vector>

#ifndef TONVARA_VERSION
#define TONVARA_VERSION "0"
#endif

namespace {

/// One option: a plain record.
struct TOptionRow {
    /// Long names without the dashes; a one-letter name is the short form.
    QStringList Names;
    /// The value's name in the help ("mode"); empty for an option without one.
    QString ValueName;
    QString Description;
    /// The value names a file or folder: an autostart entry carries it as
    /// an absolute path.
    bool Path = false;
    /// Takes Value (empty for an option without one) into Options; returns
    /// why Value is none for this option, or an empty text once it is taken.
    QString (*Take)(TOptions& options, const QString& value) = nullptr;
};

// Takes a whole number from Least to Most into Number; why Value is none
// otherwise.
QString WholeNumber(const QString& value, int least, int most, int& number)
{
    bool ok = false;
    const int taken = value.toInt(&ok);
    if (!ok || taken < least || taken > most)
        return QStringLiteral("'%1' is no whole number from %2 to %3").arg(value).arg(least).arg(most);
    number = taken;
    return QString();
}

const std::vector<TOptionRow>& OptionTable()
{
    static const std::vector<TOptionRow> table {
        { { QStringLiteral("record") }, QStringLiteral("mode"),
            QStringLiteral("Once the main window is up, select mono or stereo and start recording, as the "
                           "switch and \"Kayda Başla\" do. A start that fails is tried again every 10 s."),
            false,
            [](TOptions& options, const QString& value) {
                if (value == QLatin1String("mono"))
                    options.Record = TRecordMode::Mono;
                else if (value == QLatin1String("stereo"))
                    options.Record = TRecordMode::Stereo;
                else
                    return QStringLiteral("'%1' is no mode: give mono or stereo").arg(value);
                return QString();
            } },
        { { QStringLiteral("dir") }, QStringLiteral("folder"),
            QStringLiteral("Work in this folder: the recordings and the particle picture go there. It is "
                           "created if missing; one that cannot be created or written to ends the program "
                           "with exit code 1."),
            true,
            [](TOptions& options, const QString& value) {
                if (value.isEmpty())
                    return QStringLiteral("give a folder");
                options.Dir = value;
                return QString();
            } },
        { { QStringLiteral("silence-after") }, QStringLiteral("seconds"),
            QStringLiteral("While recording, when every sample has stayed below the --silence-below level "
                           "for this long, say so on stderr and show a red warning on the LED marquee until "
                           "sound comes back (0: never, the default)."),
            false,
            [](TOptions& options, const QString& value) {
                return WholeNumber(value, 0, 24 * 3600, options.SilenceAfter);
            } },
        { { QStringLiteral("silence-below") }, QStringLiteral("dBFS"),
            QStringLiteral("The level of --silence-after, in dB below full scale (default -50)."), false,
            [](TOptions& options, const QString& value) {
                bool ok = false;
                const double level = value.toDouble(&ok);
                if (!ok || !(level >= -96 && level <= 0))
                    return QStringLiteral("'%1' is no level: give dBFS from -96 to 0").arg(value);
                options.SilenceBelow = level;
                return QString();
            } },
        { { QStringLiteral("on-silence") }, QStringLiteral("command"),
            QStringLiteral("Run this through sh -c when the silence alarm comes, with TONVARA_FILE (the "
                           "file being recorded) and TONVARA_SILENT_SECONDS in its environment."),
            false,
            [](TOptions& options, const QString& value) {
                options.OnSilence = value;
                return QString();
            } },
        { { QStringLiteral("on-sound") }, QStringLiteral("command"),
            QStringLiteral("Run this through sh -c when sound comes back after the alarm, with the same "
                           "environment (TONVARA_SILENT_SECONDS: how long the silence lasted)."),
            false,
            [](TOptions& options, const QString& value) {
                options.OnSound = value;
                return QString();
            } },
        { { QStringLiteral("keep-hours") }, QStringLiteral("hours"),
            QStringLiteral("Delete the program's own recordings in its folder last written more than this "
                           "many hours ago, at start and at every hour change (0: never, the default)."),
            false,
            [](TOptions& options, const QString& value) {
                return WholeNumber(value, 0, 1000000, options.KeepHours);
            } },
        { { QStringLiteral("keep-free") }, QStringLiteral("MB"),
            QStringLiteral("Before every new file and once a minute while recording, delete the oldest of "
                           "the program's own recordings until the disk has this many MB (MiB) free; give "
                           "more than a minute of recording (12 MB in stereo). 0: never, the default."),
            false,
            [](TOptions& options, const QString& value) {
                int megabytes = 0;
                const QString why = WholeNumber(value, 0, 1 << 30, megabytes);
                options.KeepFreeMB = megabytes;
                return why;
            } },
        { { QStringLiteral("autostart") }, QStringLiteral("options"),
            QStringLiteral("Start the program at every login with these options (one argument, for example "
                           "\"--record stereo --dir ~/recordings\"): writes "
                           "$XDG_CONFIG_HOME/autostart/tonvara.desktop and ends."),
            false,
            [](TOptions& options, const QString& value) {
                options.Autostart = value;
                return QString();
            } },
        { { QStringLiteral("no-autostart") }, QString(),
            QStringLiteral("Start the program no more at login: removes that entry and ends."), false,
            [](TOptions& options, const QString&) {
                options.NoAutostart = true;
                return QString();
            } },
    };
    return table;
}

const QString kHelpName = QStringLiteral("help");
const QString kVersionName = QStringLiteral("version");

void AddOptions(QCommandLineParser& parser)
{
    for (const TOptionRow& row : OptionTable())
        parser.addOption(QCommandLineOption(row.Names, row.Description, row.ValueName));
    parser.addOption(
        QCommandLineOption({ QStringLiteral("h"), kHelpName }, QStringLiteral("Show this help and end.")));
    parser.addOption(QCommandLineOption(kVersionName, QStringLiteral("Show the version and end.")));
}

QString Prefixed(const QString& fault)
{
    return QStringLiteral("tonvara: ") + fault;
}

TCommandLine Fault(const QString& fault)
{
    return { TCommandAction::Error, {}, Prefixed(fault) + QLatin1Char('\n') + HelpText() };
}

// Qt's parser words its faults as sentences ("Unknown option 'x'."); here
// they follow the program's name on a line of their own.
QString AsClause(QString text)
{
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

// The login entry must start a program that runs: its options are checked
// now, while someone reads the answer.
QString AutostartFault(const QString& value)
{
    const std::optional<QStringList> arguments = SplitOptions(value);
    if (!arguments)
        return QStringLiteral("--autostart: a quote in '%1' is not closed").arg(value);
    const TCommandLine inner = ParseCommandLine(QStringList { QStringLiteral("tonvara") } + *arguments);
    if (inner.Action == TCommandAction::Error) {
        const QString firstLine = inner.Text.section(QLatin1Char('\n'), 0, 0);
        return QStringLiteral("--autostart: ") + firstLine.mid(Prefixed({}).size());
    }
    if (inner.Action != TCommandAction::Run)
        return QStringLiteral("--autostart: the program started at login cannot take --help, --version, "
                              "--autostart or --no-autostart");
    return {};
}

} // namespace

TCommandLine ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    AddOptions(parser);
    if (!parser.parse(arguments))
        return Fault(AsClause(parser.errorText()));
    if (const QStringList extra = parser.positionalArguments(); !extra.isEmpty())
        return Fault(QStringLiteral("unexpected argument '%1'").arg(extra.first()));
    if (parser.isSet(kHelpName))
        return { TCommandAction::Help, {}, HelpText() };
    if (parser.isSet(kVersionName))
        return { TCommandAction::Version, {}, VersionText() + QLatin1Char('\n') };

    TCommandLine line;
    for (const TOptionRow& row : OptionTable()) {
        const QString& name = row.Names.constLast();
        if (!parser.isSet(name))
            continue;
        const QStringList values = row.ValueName.isEmpty() ? QStringList { QString() } : parser.values(name);
        // As with most programs, the last of a repeated option counts.
        for (const QString& value : values) {
            if (const QString why = row.Take(line.Options, value); !why.isEmpty())
                return Fault(QStringLiteral("--%1: %2").arg(name, why));
        }
    }

    const bool autostart = line.Options.Autostart.has_value();
    if (autostart || line.Options.NoAutostart) {
        if (autostart && line.Options.NoAutostart)
            return Fault(QStringLiteral("--autostart and --no-autostart exclude each other"));
        // Anything beside them would be silently ignored or mistaken for an
        // option of the login's start.
        if (parser.optionNames().size() > 1)
            return Fault(
                QStringLiteral("%1 goes alone; the options of the program started at login are "
                               "--autostart's one value")
                    .arg(autostart ? QStringLiteral("--autostart") : QStringLiteral("--no-autostart")));
        if (autostart) {
            if (const QString fault = AutostartFault(*line.Options.Autostart); !fault.isEmpty())
                return Fault(fault);
        }
        line.Action = autostart ? TCommandAction::Autostart : TCommandAction::NoAutostart;
    }
    return line;
}

QString HelpText()
{
    QCommandLineParser parser;
    // Qt does not wrap the description: it is laid out for 80 columns here.
    parser.setApplicationDescription(
        QStringLiteral("Records the sound card's input into hourly WAV files: mono GSM 6.10 at 8 kHz or\n"
                       "16-bit stereo PCM at 48 kHz, a new file at every change of the clock's hour,\n"
                       "named from its start date and time. Without options it starts idle and records\n"
                       "into the folder it was started in."));
    AddOptions(parser);
    // Without an application object the parser knows no program name.
    QString text = parser.helpText();
    const qsizetype endOfUsage = text.indexOf(QLatin1Char('\n'));
    return QStringLiteral("Usage: tonvara [options]") + text.mid(endOfUsage);
}

QString VersionText()
{
    return QStringLiteral("tonvara " TONVARA_VERSION);
}

std::optional<QStringList> SplitOptions(const QString& text)
{
    enum class TQuote { None, Single, Double } quote = TQuote::None;
    QStringList words;
    QString word;
    bool inWord = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool escapes = i + 1 < text.size();
        switch (quote) {
        case TQuote::None:
            if (c.isSpace()) {
                if (inWord)
                    words.append(std::exchange(word, QString()));
                inWord = false;
                continue;
            }
            inWord = true;
            if (c == QLatin1Char('\''))
                quote = TQuote::Single;
            else if (c == QLatin1Char('"'))
                quote = TQuote::Double;
            else if (c == QLatin1Char('\\') && escapes)
                word += text[++i];
            else
                word += c;
            break;
        case TQuote::Single:
            if (c == QLatin1Char('\''))
                quote = TQuote::None;
            else
                word += c;
            break;
        case TQuote::Double:
            if (c == QLatin1Char('"'))
                quote = TQuote::None;
            else if (c == QLatin1Char('\\') && escapes && QStringLiteral("\\\"$`").contains(text[i + 1]))
                word += text[++i];
            else
                word += c;
            break;
        }
    }
    if (quote != TQuote::None)
        return std::nullopt;
    if (inWord)
        words.append(word);
    return words;
}

QStringList WithAbsolutePaths(const QStringList& arguments, const QString& base)
{
    QStringList pathOptions;
    for (const TOptionRow& row : OptionTable())
        if (row.Path)
            for (const QString& name : row.Names)
                pathOptions.append(QStringLiteral("--") + name);
    // No shell reads the entry's value: a "~" has to be resolved here.
    const auto absolute = [&](const QString& path) {
        if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/")))
            return QDir::cleanPath(QDir::homePath() + path.mid(1));
        return QDir::cleanPath(QDir(base).absoluteFilePath(path));
    };

    QStringList result;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        const QString name = equals < 0 ? argument : argument.left(equals);
        if (!pathOptions.contains(name)) {
            result.append(argument);
        } else if (equals >= 0) {
            result.append(name + QLatin1Char('=') + absolute(argument.mid(equals + 1)));
        } else {
            result.append(argument);
            if (i + 1 < arguments.size())
                result.append(absolute(arguments[++i]));
        }
    }
    return result;
}
