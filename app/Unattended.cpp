#include "app/Unattended.h"

#include "app/AboutF.h"
#include "app/AnaGiris.h"
#include "app/Autostart.h"
#include "app/Retention.h"
#include "app/SilenceAlarm.h"
#include "platform/ui/Application.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace {

// The folder is checked by writing into it, not by its permission bits:
// root ignores those, and a read-only mount refuses root too.
bool UseFolder(const QString& dir)
{
    const QString path = QDir::cleanPath(QDir::current().absoluteFilePath(dir));
    if (const QFileInfo existing(path); existing.exists() && !existing.isDir()) {
        std::fprintf(stderr, "tonvara: %s is a file, not a folder for the recordings\n", qPrintable(path));
        return false;
    }
    errno = 0;
    if (!QDir().mkpath(path)) {
        std::fprintf(stderr, "tonvara: cannot create the folder %s for the recordings: %s\n",
            qPrintable(path), errno != 0 ? std::strerror(errno) : "it is not a folder");
        return false;
    }
    QTemporaryFile probe(path + QStringLiteral("/.tonvara-XXXXXX"));
    if (!probe.open()) {
        std::fprintf(stderr, "tonvara: cannot write into the folder %s for the recordings: %s\n",
            qPrintable(path), qPrintable(probe.errorString()));
        return false;
    }
    probe.close();
    if (!QDir::setCurrent(path)) {
        std::fprintf(
            stderr, "tonvara: cannot work in the folder %s: %s\n", qPrintable(path), std::strerror(errno));
        return false;
    }
    return true;
}

// As a person does it: the switch to the mode's side, then "Kayda Başla".
// Whatever the click raises reaches the exception display, as a click's does.
void StartRecording(TRecordMode mode)
{
    TAnaForm* form = AnaForm;
    if (form == nullptr)
        return;
    const int position = mode == TRecordMode::Stereo ? 1 : 0;
    if (form->Sw->Position() != position)
        form->Sw->SetPosition(position);
    form->Button1->Click();
}

// The splash box covers the main window for its first seconds; a person
// presses the button once it has gone, and so does this. Its hiding is a
// timer's tick: the start follows from the message loop, out of that tick.
void StartRecordingAfterSplash(TRecordMode mode)
{
    const auto startSoon = [mode] { QTimer::singleShot(0, AnaForm, [mode] { StartRecording(mode); }); };
    auto* splash = Application->findChild<TAboutBox*>(QString(), Qt::FindDirectChildrenOnly);
    if (splash == nullptr || !splash->Visible()) {
        startSoon();
        return;
    }
    // The splash box's timer goes on hiding the hidden box: only its first
    // hiding starts.
    auto pending = std::make_shared<bool>(true);
    splash->SetOnHide([previous = splash->OnHide(), pending, startSoon](TObject* sender) {
        if (previous)
            previous(sender);
        if (std::exchange(*pending, false))
            startSoon();
    });
}

} // namespace

std::optional<int> TakeCommandLine(int argc, char** argv, TOptions& options)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QFile::decodeName(argv[i]));
    const TCommandLine line = ParseCommandLine(arguments);
    switch (line.Action) {
    case TCommandAction::Help:
    case TCommandAction::Version:
        std::fputs(line.Text.toLocal8Bit().constData(), stdout);
        return 0;
    case TCommandAction::Error:
        std::fputs(line.Text.toLocal8Bit().constData(), stderr);
        return kUsageExitCode;
    case TCommandAction::Autostart:
        return WriteAutostartEntry(*line.Options.Autostart);
    case TCommandAction::NoAutostart:
        return RemoveAutostartEntry();
    case TCommandAction::Run:
        break;
    }
    options = line.Options;
    if (!options.Dir.isEmpty() && !UseFolder(options.Dir))
        return 1;
    return std::nullopt;
}

void ApplyOptions(const TOptions& options)
{
    // Both live as the main window's children, hooked to its recorders.
    if (AnaForm != nullptr && options.SilenceAfter > 0)
        new TSilenceAlarm(AnaForm,
            TSilenceSettings {
                options.SilenceAfter, options.SilenceBelow, options.OnSilence, options.OnSound });
    if (AnaForm != nullptr && (options.KeepHours > 0 || options.KeepFreeMB > 0))
        new TRetention(AnaForm, TRetentionSettings { options.KeepHours, options.KeepFreeMB });
    if (options.Record != TRecordMode::None)
        StartRecordingAfterSplash(options.Record);
}
