#include "app/About.h"

#include "app/BMP.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/FormatSettings.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/SysUtils.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <QOpenGLWidget>
#include <QSurfaceFormat>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

TAboutFrm* AboutFrm = nullptr;

namespace {

const char* const kTextureFile = "parcacik.bmp";
constexpr int kCreationWaitMs = 1500;
// One turn of the lattice takes 360 x 300 ms.
constexpr std::int64_t kTurnMs = 360 * 300;

// The texture is part of the window: without it the program does not go
// on. Nothing is recording this early, so there is nothing to finish.
[[noreturn]] void EndProcess(int code)
{
    std::fflush(nullptr);
    std::_Exit(code);
}

} // namespace

// ---------------------------------------------------------------------------
// TParticleSwarm

TParticleSwarm::TParticleSwarm(std::uint32_t seed)
    : FRandom(seed)
{
    std::uniform_int_distribution<std::int32_t> anyCell(0, kLatticePoints - 1);
    std::uniform_int_distribution<int> anySpeed(0, 4);
    for (TParticle& particle : FParticles) {
        particle.Cell = anyCell(FRandom);
        particle.Trail.fill(particle.Cell);
        particle.Speed = static_cast<float>(anySpeed(FRandom) / 100.0 + 0.01);
        particle.NextStep = 0;
    }
    for (int n = 0; n < kLatticePoints; ++n)
        FLattice[static_cast<std::size_t>(n)] = LatticePoint(n);
}

TLatticePoint TParticleSwarm::LatticePoint(int n)
{
    return { n % kLatticeColumns - 15, (n / (kLatticeColumns * kLatticeRows)) % kLatticeLayers - 4,
        (n / kLatticeColumns) % kLatticeRows - 15 };
}

std::int64_t TParticleSwarm::StepPeriod(float speed)
{
    return static_cast<std::int64_t>(std::nearbyint(10.0 / static_cast<double>(speed)));
}

std::int32_t TParticleSwarm::Neighbour(std::int32_t cell, int direction) const
{
    constexpr std::int32_t kLayer = kLatticeColumns * kLatticeRows;
    const std::int32_t column = cell % kLatticeColumns;
    const std::int32_t row = (cell % kLayer) / kLatticeColumns;
    const std::int32_t layer = cell / kLayer;
    switch (direction) {
    case 0:
        return column > 0 ? cell - 1 : cell;
    case 1:
        return column < kLatticeColumns - 1 ? cell + 1 : cell;
    case 2:
        return row > 0 ? cell - kLatticeColumns : cell;
    case 3:
        return row < kLatticeRows - 1 ? cell + kLatticeColumns : cell;
    case 4:
        return layer > 0 ? cell - kLayer : cell;
    default:
        return layer < kLatticeLayers - 1 ? cell + kLayer : cell;
    }
}

void TParticleSwarm::Step()
{
    std::uniform_int_distribution<int> anyDirection(0, 5);
    for (int i = 0; i < kParticleCount; ++i) {
        TParticle& particle = Particle(i);
        if (FAnimTime < particle.NextStep)
            continue;
        std::copy_backward(particle.Trail.begin(), particle.Trail.end() - 1, particle.Trail.end());
        particle.Trail[0] = particle.Cell;
        // Every cell has at least three open directions and only one of
        // them leads back, so this ends.
        for (;;) {
            const std::int32_t next = Neighbour(particle.Trail[0], anyDirection(FRandom));
            if (next != particle.Trail[0] && next != particle.Trail[1]) {
                particle.Cell = next;
                break;
            }
        }
        // The next multiple of the period, in whole milliseconds: a period
        // of 333.33 ms rounded per step would drift a little further behind
        // the clock with every step, until the particle stood still.
        const std::int64_t period = StepPeriod(particle.Speed);
        particle.NextStep = (FAnimTime / period + 1) * period;
    }
}

void TParticleSwarm::UpdateProgress()
{
    for (int i = 0; i < kParticleCount; ++i) {
        TParticle& particle = Particle(i);
        const double left = static_cast<double>(particle.NextStep - FAnimTime);
        // While the animation time catches up with the clock it jumps by
        // more than a period: the head stays between its two cells.
        particle.Progress = static_cast<float>(
            std::clamp(1.0 - left / 10.0 * static_cast<double>(particle.Speed), 0.0, 1.0));
    }
}

std::array<float, 3> TParticleSwarm::Mix(std::int32_t from, std::int32_t to, float progress) const
{
    const TLatticePoint& a = Lattice(from);
    const TLatticePoint& b = Lattice(to);
    return { static_cast<float>(a.X) + static_cast<float>(b.X - a.X) * progress,
        static_cast<float>(a.Y) + static_cast<float>(b.Y - a.Y) * progress,
        static_cast<float>(a.Z) + static_cast<float>(b.Z - a.Z) * progress };
}

std::array<TSceneVertex, kTrailLength + 1> TParticleSwarm::Trail(int index) const
{
    const TParticle& particle = Particle(index);
    std::array<TSceneVertex, kTrailLength + 1> line;
    const auto head = Mix(particle.Trail[0], particle.Cell, particle.Progress);
    line[0] = { head[0], head[1], head[2], 1, 1, 1 };
    for (int j = 1; j < kTrailLength; ++j) {
        const float g
            = static_cast<float>(kTrailLength - j) / kTrailLength - particle.Progress / kTrailLength;
        const TLatticePoint& at = Lattice(particle.Trail[static_cast<std::size_t>(j - 1)]);
        TSceneVertex& vertex = line[static_cast<std::size_t>(j)];
        vertex = { static_cast<float>(at.X), static_cast<float>(at.Y), static_cast<float>(at.Z), g, g, g };
        if (particle.Speed >= kFastSpeed)
            vertex.R += 0.5f;
        else
            vertex.B += 0.5f;
    }
    const auto tail
        = Mix(particle.Trail[kTrailLength - 1], particle.Trail[kTrailLength - 2], particle.Progress);
    line[kTrailLength] = { tail[0], tail[1], tail[2], 0, 0, 0.1f };
    return line;
}

TSceneVertex TParticleSwarm::Head(int index) const
{
    const TParticle& particle = Particle(index);
    const auto centre = Mix(particle.Trail[0], particle.Cell, particle.Progress);
    if (particle.Speed < kFastSpeed)
        return { centre[0], centre[1], centre[2], 1, 1, 1 };
    return { centre[0], centre[1], centre[2], 1, 0.7f, 0.7f };
}

// ---------------------------------------------------------------------------
// TParticleView: the OpenGL surface over Panel1. Qt makes its context when
// the surface is first shown; the scene's state is set up then.

class TParticleView : public QOpenGLWidget {
public:
    TParticleView(TAboutFrm* form, QWidget* parent)
        : QOpenGLWidget(parent)
        , FForm(form)
    {
        QSurfaceFormat format = QSurfaceFormat::defaultFormat();
        format.setDepthBufferSize(24);
        format.setProfile(QSurfaceFormat::CompatibilityProfile);
        setFormat(format);
    }

    ~TParticleView() override
    {
        if (FTexture != 0 && context()) {
            makeCurrent();
            glDeleteTextures(1, &FTexture);
            doneCurrent();
        }
    }

    TParticleView(const TParticleView&) = delete;
    TParticleView& operator=(const TParticleView&) = delete;

    std::int64_t Frames() const { return FFrames; }

    /// The perspective for a Width x Height surface. GL context current.
    static void SetPerspective(int width, int height)
    {
        glViewport(0, 0, width, height);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluPerspective(45.0, static_cast<double>(width) / std::max(height, 1), 0.1, 500.0);
        glMatrixMode(GL_MODELVIEW);
    }

    void Resize(int width, int height)
    {
        FWidth = width;
        FHeight = height;
        if (!context())
            return;
        makeCurrent();
        SetPerspective(width, height);
        doneCurrent();
    }

protected:
    void initializeGL() override
    {
        glClearColor(0.1f, 0.1f, 0.4f, 0.0f);
        glShadeModel(GL_SMOOTH);
        glClearDepth(1.0);
        glEnable(GL_DEPTH_TEST);
        glDepthFunc(GL_LESS);
        glBlendFunc(GL_ONE, GL_ONE);
        glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
        glEnable(GL_TEXTURE_2D);

        glGenTextures(1, &FTexture);
        glBindTexture(GL_TEXTURE_2D, FTexture);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        gluBuild2DMipmaps(GL_TEXTURE_2D, 3, FForm->FTextureWidth, FForm->FTextureHeight, GL_RGB,
            GL_UNSIGNED_BYTE, FForm->FTexture.data());

        SetPerspective(FWidth > 0 ? FWidth : width(), FHeight > 0 ? FHeight : height());
    }

    void resizeGL(int width, int height) override
    {
        if (FWidth <= 0)
            SetPerspective(width, height);
    }

    void paintGL() override
    {
        TParticleSwarm& swarm = FForm->FSwarm;
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glLoadIdentity();
        glTranslatef(0.0f, 0.0f, -31.0f);
        glRotatef(20.0f, 1.0f, 0.0f, 0.0f);
        glRotatef(
            static_cast<float>(static_cast<double>(swarm.AnimTime() % kTurnMs) / 300.0), 0.0f, 1.0f, 0.0f);

        swarm.Step();
        swarm.UpdateProgress();

        glDisable(GL_TEXTURE_2D);
        for (int i = 0; i < kParticleCount; ++i) {
            glBegin(GL_LINE_STRIP);
            for (const TSceneVertex& v : swarm.Trail(i)) {
                glColor3f(v.R, v.G, v.B);
                glVertex3f(v.X, v.Y, v.Z);
            }
            glEnd();
        }

        glBindTexture(GL_TEXTURE_2D, FTexture);
        glEnable(GL_TEXTURE_2D);
        glEnable(GL_BLEND);
        glBegin(GL_QUADS);
        for (int i = 0; i < kParticleCount; ++i) {
            const TSceneVertex head = swarm.Head(i);
            glColor3f(head.R, head.G, head.B);
            glTexCoord2f(0.0f, 0.0f);
            glVertex3f(head.X - 0.5f, head.Y - 0.5f, head.Z);
            glTexCoord2f(1.0f, 0.0f);
            glVertex3f(head.X + 0.5f, head.Y - 0.5f, head.Z);
            glTexCoord2f(1.0f, 1.0f);
            glVertex3f(head.X + 0.5f, head.Y + 0.5f, head.Z);
            glTexCoord2f(0.0f, 1.0f);
            glVertex3f(head.X - 0.5f, head.Y + 0.5f, head.Z);
        }
        glEnd();
        glDisable(GL_BLEND);
        glDisable(GL_TEXTURE_2D);
        ++FFrames;
    }

private:
    TAboutFrm* FForm;
    GLuint FTexture = 0;
    int FWidth = 0;
    int FHeight = 0;
    std::int64_t FFrames = 0;
};

// ---------------------------------------------------------------------------
// TAboutFrm

TAboutFrm::TAboutFrm(TComponent* owner)
    : TForm(owner)
    , FSwarm(0)
{
}

TAboutFrm::~TAboutFrm()
{
    DoDestroy();
}

void TAboutFrm::FormCreate(TObject*)
{
    // The splash box stays on the screen this much longer.
    Sleep(kCreationWaitMs);
    SetDecimalSeparator('.');
    FClock.start();

    FView = new TParticleView(this, Panel1->Handle());
    FView->setGeometry(0, 0, Panel1->Width(), Panel1->Height());
    FView->Resize(Panel1->Width(), Panel1->Height());

    // The texture goes through a file of its own, as other programs may
    // read it; an old one of that name is replaced.
    const QString textureFile = QString::fromLatin1(kTextureFile);
    DeleteFile(textureFile);
    try {
        Image1->Picture()->SaveToFile(textureFile);
    } catch (...) {
        // Shown as any failure of a window's creation is; loading the
        // missing file then ends the program.
        Application->HandleException(this);
    }
    LoadTexture(textureFile);

    FSwarm = TParticleSwarm(static_cast<std::uint32_t>(
        std::chrono::system_clock::now().time_since_epoch().count() & 0xFFFFFFFFu));
}

bool TAboutFrm::LoadTexture(const QString& fileName)
{
    LoadBMP(fileName, FTextureWidth, FTextureHeight, FTexture);
    if (FTexture.empty()) {
        ShowMessageBox(
            QStringLiteral("Unable to load ") + fileName, QStringLiteral("Loading Textures"), MB_OK);
        EndProcess(1);
    }
    return true;
}

void TAboutFrm::FormResize(TObject*)
{
    if (!FView)
        return;
    FView->setGeometry(0, 0, Panel1->Width(), Panel1->Height());
    FView->Resize(Panel1->Width(), Panel1->Height());
    DrawScene();
}

void TAboutFrm::FormShow(TObject*)
{
    FView->show();
    FView->raise();
    Timer1->SetEnabled(true);
    DrawScene();
}

void TAboutFrm::FormDestroy(TObject*)
{
    Timer1->SetEnabled(false);
    delete FView;
    FView = nullptr;
}

void TAboutFrm::Timer1Timer(TObject*)
{
    FSwarm.Advance(FClock.elapsed());
    DrawScene();
}

void TAboutFrm::Button1Click(TObject*)
{
    Close();
}

void TAboutFrm::DrawScene()
{
    if (FView)
        FView->update();
}

QOpenGLWidget* TAboutFrm::View() const
{
    return FView;
}

std::int64_t TAboutFrm::FramesDrawn() const
{
    return FView ? FView->Frames() : 0;
}

void TAboutFrm::DoHide()
{
    Timer1->SetEnabled(false);
    TForm::DoHide();
}
