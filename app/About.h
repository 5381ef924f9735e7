#pragma once

// TAboutFrm: the about window. Its upper part is an OpenGL scene in Panel1:
// 150 glowing particles crawl through a 30 x 9 x 30 lattice, each dragging a
// fading trail, while the lattice slowly turns; below it stand the maker's
// name, address and web address and the "Tamam" button.
//
// Start-up creates the window hidden, right after the main window; the
// menu's "Hakkımızda" shows it modally. Creating it waits 1500 ms (the
// splash box stays on the screen meanwhile), makes '.' the program's
// decimal separator, writes Image1's picture to "parcacik.bmp" in the
// current directory and reads it back as the particle texture: a picture
// that cannot be written or read ends the process with exit code 1 after
// its message boxes. The scene is drawn every 10 ms while the window is
// shown, and not at all while it is hidden.
//
// TParticleSwarm is the scene's state and motion without OpenGL. GUI thread.

#include "platform/ui/ExtCtrls.h"
#include "platform/ui/Forms.h"
#include "platform/ui/StdCtrls.h"
#include "platform/ui/Timer.h"

#include <QElapsedTimer>
#include <QString>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

/// Lattice size: 30 columns (x), 30 rows (z), 9 layers (y).
inline constexpr int kLatticeColumns = 30;
inline constexpr int kLatticeRows = 30;
inline constexpr int kLatticeLayers = 9;
inline constexpr int kLatticePoints = kLatticeColumns * kLatticeRows * kLatticeLayers;
/// Particle records prepared, and how many of them move and are drawn.
inline constexpr int kParticleRecords = 500;
inline constexpr int kParticleCount = 150;
inline constexpr int kTrailLength = 6;
/// The fastest speed, whose particles get red trails and pink heads.
inline constexpr float kFastSpeed = 0.05f;

/// Integer coordinates of a lattice point.
struct TLatticePoint {
    int X = 0;
    int Y = 0;
    int Z = 0;
};

struct TParticle {
    /// The lattice index the particle moves to.
    std::int32_t Cell = 0;
    /// Animation time (ms) of its next step.
    std::int64_t NextStep = 0;
    /// Cells left behind: [0] the last one, [5] the oldest.
    std::array<std::int32_t, kTrailLength> Trail {};
    /// 0.01 to 0.05: lattice steps per 10 ms.
    float Speed = 0.01f;
    /// Fraction of the way from Trail[0] to Cell, 0..1.
    float Progress = 0;
};

/// A coloured point of the scene, in lattice coordinates.
struct TSceneVertex {
    float X = 0;
    float Y = 0;
    float Z = 0;
    float R = 0;
    float G = 0;
    float B = 0;
};

class TParticleSwarm {
public:
    /// Fills the lattice table and gives every record a random cell, a trail
    /// all on that cell, a random speed of 0.01 to 0.05 and a first step at
    /// time 0. The same seed makes the same swarm.
    explicit TParticleSwarm(std::uint32_t seed);

    /// Point N of the lattice: x = N mod 30 - 15, y = (N div 900) mod 9 - 4,
    /// z = (N div 30) mod 30 - 15.
    static TLatticePoint LatticePoint(int n);
    const TLatticePoint& Lattice(int n) const { return FLattice[static_cast<std::size_t>(n)]; }

    /// Milliseconds between two steps of a particle: 10 / Speed, rounded
    /// (1000, 500, 333, 250 or 200).
    static std::int64_t StepPeriod(float speed);

    std::int64_t AnimTime() const { return FAnimTime; }
    void SetAnimTime(std::int64_t value) { FAnimTime = value; }
    /// Halves the distance from the animation time to Now (ms): ticked every
    /// 10 ms, the animation runs on the clock after a short catch-up.
    void Advance(std::int64_t now) { FAnimTime = (FAnimTime + now) / 2; }

    TParticle& Particle(int index) { return FParticles[static_cast<std::size_t>(index)]; }
    const TParticle& Particle(int index) const { return FParticles[static_cast<std::size_t>(index)]; }

    /// Moves every one of the first kParticleCount particles whose step is
    /// due to a neighbouring cell: never the one it stands on, never the one
    /// it just left. Its next step is the next multiple of its period.
    void Step();
    /// Sets each drawn particle's Progress for the animation time.
    void UpdateProgress();

    /// The seven points of particle Index's trail line: white at the head,
    /// fading along the cells it left (reddish for the fastest speed, bluish
    /// otherwise), dark blue at the tail end.
    std::array<TSceneVertex, kTrailLength + 1> Trail(int index) const;
    /// The centre and colour of the particle's head: white, or pink for the
    /// fastest speed.
    TSceneVertex Head(int index) const;

private:
    std::array<float, 3> Mix(std::int32_t from, std::int32_t to, float progress) const;
    std::int32_t Neighbour(std::int32_t cell, int direction) const;

    std::mt19937 FRandom;
    std::array<TLatticePoint, kLatticePoints> FLattice;
    std::array<TParticle, kParticleRecords> FParticles;
    std::int64_t FAnimTime = 0;
};

class QOpenGLWidget;
class TParticleView;

class TAboutFrm : public TForm {
    Q_OBJECT
    Q_CLASSINFO("StoredForm", "AboutFrm.form")
    Q_PROPERTY(TPanel* Panel1 MEMBER Panel1 STORED false)
    Q_PROPERTY(TButton* Button1 MEMBER Button1 STORED false)
    Q_PROPERTY(TImage* Image1 MEMBER Image1 STORED false)
    Q_PROPERTY(TLabel* Label1 MEMBER Label1 STORED false)
    Q_PROPERTY(TLabel* Label2 MEMBER Label2 STORED false)
    Q_PROPERTY(TLabel* Label3 MEMBER Label3 STORED false)
    Q_PROPERTY(TLabel* Label5 MEMBER Label5 STORED false)
    Q_PROPERTY(TTimer* Timer1 MEMBER Timer1 STORED false)
public:
    /// The stored form is read by AfterConstruction (Application->CreateForm
    /// calls it); it raises what reading raises (EResNotFound, EReadError).
    explicit TAboutFrm(TComponent* owner);
    ~TAboutFrm() override;

    Q_INVOKABLE void FormCreate(TObject* Sender);
    Q_INVOKABLE void FormResize(TObject* Sender);
    Q_INVOKABLE void FormShow(TObject* Sender);
    Q_INVOKABLE void FormDestroy(TObject* Sender);
    Q_INVOKABLE void Timer1Timer(TObject* Sender);
    Q_INVOKABLE void Button1Click(TObject* Sender);

    /// Reads FileName with LoadBMP as the particle texture; the texture is
    /// made from it when the scene's OpenGL context first exists. A file
    /// that gives no pixels shows "Unable to load <FileName>" (caption
    /// "Loading Textures") and ends the process with exit code 1.
    bool LoadTexture(const QString& fileName);
    /// Asks for the next frame of the scene.
    void DrawScene();

    TParticleSwarm& Swarm() { return FSwarm; }
    /// The OpenGL surface over Panel1's client area.
    QOpenGLWidget* View() const;
    /// Frames drawn so far.
    std::int64_t FramesDrawn() const;

    TPanel* Panel1 = nullptr;
    TButton* Button1 = nullptr;
    TImage* Image1 = nullptr;
    TLabel* Label1 = nullptr;
    TLabel* Label2 = nullptr;
    TLabel* Label3 = nullptr;
    TLabel* Label5 = nullptr;
    TTimer* Timer1 = nullptr;

protected:
    /// Stops the 10 ms timer: nobody sees the scene of a hidden window.
    void DoHide() override;

private:
    friend class TParticleView;

    TParticleSwarm FSwarm;
    QElapsedTimer FClock; // the animation's clock, from the window's creation
    TParticleView* FView = nullptr;
    int FTextureWidth = 0;
    int FTextureHeight = 0;
    std::vector<std::uint8_t> FTexture;
};

/// The about window once start-up (or the menu) created it; null before.
extern TAboutFrm* AboutFrm;
