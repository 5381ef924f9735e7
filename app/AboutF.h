#pragma once

// TAboutBox: the splash box, the picture shown over the screen for three
// seconds when the recorder starts. The main window creates it owned by
// Application, calls ShowSplash and then enables Timer1; the timer hides the
// box, which then stays in existence, hidden, until the application ends.
//
// Its window carries the X class "TAboutBox" and the title "Velmora" from
// the moment the window exists, shown or hidden: start-up looks for exactly
// that window (FindWindowA("TAboutBox", "Velmora")) to refuse a second copy
// of the program, so the box must never be destroyed while the program runs.

#include "platform/ui/Buttons.h"
#include "platform/ui/ExtCtrls.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Timer.h"

#include <memory>

class TTopKeeper;

class TAboutBox : public TForm {
    Q_OBJECT
    Q_PROPERTY(TTimer* Timer1 MEMBER Timer1 STORED false)
    Q_PROPERTY(TPanel* Panel1 MEMBER Panel1 STORED false)
    Q_PROPERTY(TImage* Image1 MEMBER Image1 STORED false)
    Q_PROPERTY(TBitBtn* BitBtn1 MEMBER BitBtn1 STORED false)
public:
    /// Reads the stored form AboutBox.form. Raises what reading raises
    /// (EResNotFound, EReadError).
    explicit TAboutBox(TComponent* owner);
    ~TAboutBox() override;

    /// Shows the box as the splash picture: no frame, above every other
    /// window, the OK button hidden, a 3-pixel margin inside the lowered
    /// bevel, shown (not modal) and painted before it returns. GUI thread.
    void ShowSplash();

    TTimer* Timer1 = nullptr;
    TPanel* Panel1 = nullptr;
    TImage* Image1 = nullptr;
    TBitBtn* BitBtn1 = nullptr;

public slots:
    /// Hides the box. The timer stays enabled: later ticks hide the hidden
    /// box again, which does nothing.
    void Timer1Timer(TObject* Sender);
    /// Closes the box, which hides it (the button is hidden in splash use).
    void BitBtn1Click(TObject* Sender);

protected:
    /// Names the new window's X class "TAboutBox" before it is mapped (again
    /// after ShowSplash's flags make Qt replace the window).
    void WindowCreated() override;
    void DoHide() override;

private:
    std::unique_ptr<TTopKeeper> FTopKeeper;
};
