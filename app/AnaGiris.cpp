#include "app/AnaGiris.h"

#include "app/AboutF.h"
#include "mm/core/MMUtils.h"

#include <QFileInfo>
#include <ctime>
#include <cwchar>

TAnaForm* AnaForm = nullptr;

namespace AnaGiris {

QString CurrentFileName;
QString FileHour;

namespace {

// strftime under the user's LC_TIME; the wide variant converts through
// LC_CTYPE, so a locale's non-ASCII separators arrive intact.
QString LocalTimeText(const wchar_t* format)
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    wchar_t text[128];
    const std::size_t length = std::wcsftime(text, sizeof text / sizeof text[0], format, &local);
    return QString::fromWCharArray(text, static_cast<qsizetype>(length));
}

void ReplaceAt(QString& text, qsizetype oneBased)
{
    if (oneBased <= text.size())
        text[oneBased - 1] = QLatin1Char('_');
}

} // namespace

QString DateText()
{
    return LocalTimeText(L"%x");
}

QString TimeText()
{
    return LocalTimeText(L"%X");
}

QString ComposeFileName(const QString& dateText, const QString& timeText)
{
    QString datePart = dateText;
    ReplaceAt(datePart, 3);
    ReplaceAt(datePart, 6);
    QString timePart = timeText.left(5);
    ReplaceAt(timePart, 3);
    QString name
        = QStringLiteral("Tarih_") + datePart + QStringLiteral("_Saat_") + timePart + QStringLiteral(".wav");
    // A '/' would make the name a path into a directory that does not exist.
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return name;
}

QString FreeFileName(const QString& name)
{
    if (!QFileInfo::exists(name))
        return name;
    const QString stem = name.endsWith(QLatin1String(".wav")) ? name.chopped(4) : name;
    for (int n = 2;; ++n) {
        const QString candidate = stem + QLatin1Char('_') + QString::number(n) + QStringLiteral(".wav");
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

} // namespace AnaGiris

using namespace AnaGiris;

TAnaForm::TAnaForm(TComponent* owner)
    : TForm(owner)
{
}

TAnaForm::~TAnaForm()
{
    DoDestroy();
    if (AnaForm == this)
        AnaForm = nullptr;
}

TMMWaveRecorder* TAnaForm::Selected() const
{
    return Sw->Position() == 0 ? MonoDosya : StereoDosya;
}

void TAnaForm::ComposeFileName()
{
    // Two separate clock readings, as the user would read them one after
    // the other; a name made across a minute boundary mixes both sides.
    const QString dateText = DateText();
    const QString timeText = TimeText();
    CurrentFileName = FreeFileName(AnaGiris::ComposeFileName(dateText, timeText));
    Label13->SetCaption(CurrentFileName);
}

void TAnaForm::MakeFileName(bool setFileHour)
{
    if (setFileHour)
        FileHour = TimeText().left(2);
    ComposeFileName();
}

void TAnaForm::FormCreate(TObject*)
{
    AnaForm = this;
    auto* splash = new TAboutBox(Application);
    splash->ShowSplash();
    MakeFileName(true);
    splash->Timer1->SetEnabled(true);
}

void TAnaForm::FormActivate(TObject*)
{
    // Also runs while MonoDosya records (after a modal dialog, say); the
    // wave takes the name of the file it is writing as no change of file.
    MonoDosya->Wave()->SetFileName(CurrentFileName);
    Button3->SetEnabled(false);
}

void TAnaForm::FormClose(TObject*, TCloseAction&)
{
    MonoDosya->Stop();
    StereoDosya->Stop();
}

void TAnaForm::TimerTimer(TObject*)
{
    Label1->SetCaption(FormatElapsedTime(Selected()->Position(), true));

    const QString hour = TimeText().left(2);
    if (hour == FileHour)
        return;
    TMMWaveRecorder* recorder = Selected();
    recorder->Stop();
    ComposeFileName();
    recorder->Wave()->SetFileName(CurrentFileName);
    recorder->Start();
    FileHour = hour;
}

void TAnaForm::Button1Click(TObject*)
{
    Button1->SetEnabled(false);
    Button3->SetEnabled(true);
    BitBtn1->SetEnabled(false);
    Sw->SetEnabled(false);
    Timer->SetEnabled(true);
    MakeFileName(true);
    TMMWaveRecorder* recorder = Selected();
    recorder->Wave()->SetFileName(CurrentFileName);
    recorder->Start();
}

void TAnaForm::Button3Click(TObject*)
{
    MonoDosya->Stop();
    StereoDosya->Stop();
    Sw->SetEnabled(true);
    Button1->SetEnabled(true);
    Button3->SetEnabled(false);
    BitBtn1->SetEnabled(true);
    Timer->SetEnabled(true);
}

void TAnaForm::BitBtn1Click(TObject*)
{
    MonoDosya->Stop();
    StereoDosya->Stop();
    Close();
}

void TAnaForm::SwMouseDown(TObject*, TMouseButton, TShiftState, int, int)
{
    if (Connector->IsOpen())
        return;
    Sw->SetPosition(Sw->Position() == 0 ? 1 : 0);
}

void TAnaForm::SwChange(TObject*)
{
    if (Connector->IsOpen())
        return;
    Connector->SetInput(Sw->Position() != 0 ? StereoDosya : MonoDosya);
}

void TAnaForm::Help1Click(TObject*)
{
    // The about window joins the program with its particle scene.
}
