// The particle scene's state and motion, without OpenGL.
#include "app/About.h"

#include <cstdlib>
#include <gtest/gtest.h>

TEST(ParticleSwarm, LatticePointsSpanTheGridInColumnRowLayerOrder)
{
    const struct {
        int N;
        TLatticePoint Point;
    } cases[] = {
        { 0, { -15, -4, -15 } },
        { 29, { 14, -4, -15 } },
        { 30, { -15, -4, -14 } },
        { 899, { 14, -4, 14 } },
        { 900, { -15, -3, -15 } },
        { 8099, { 14, 4, 14 } },
        { 4 * 900 + 7 * 30 + 3, { -12, 0, -8 } },
    };
    const TParticleSwarm swarm(1);
    for (const auto& c : cases) {
        const TLatticePoint& p = swarm.Lattice(c.N);
        EXPECT_EQ(p.X, c.Point.X) << c.N;
        EXPECT_EQ(p.Y, c.Point.Y) << c.N;
        EXPECT_EQ(p.Z, c.Point.Z) << c.N;
    }
}

TEST(ParticleSwarm, FromEveryCornerParticlesMoveToANeighbourNeverBack)
{
    const int corners[] = { 0, 29, 870, 899, 7200, 7229, 8070, 8099 };
    TParticleSwarm swarm(7);
    for (int i = 0; i < kParticleCount; ++i) {
        TParticle& particle = swarm.Particle(i);
        particle.Cell = corners[i % 8];
        particle.Trail.fill(particle.Cell);
        particle.NextStep = 0;
    }
    for (int step = 0; step < 10000; ++step) {
        swarm.SetAnimTime(swarm.AnimTime() + 1000);
        swarm.Step();
        for (int i = 0; i < kParticleCount; ++i) {
            const TParticle& particle = swarm.Particle(i);
            ASSERT_GE(particle.Cell, 0);
            ASSERT_LT(particle.Cell, kLatticePoints);
            const TLatticePoint& from = swarm.Lattice(particle.Trail[0]);
            const TLatticePoint& to = swarm.Lattice(particle.Cell);
            ASSERT_EQ(std::abs(from.X - to.X) + std::abs(from.Y - to.Y) + std::abs(from.Z - to.Z), 1)
                << "particle " << i << " at step " << step << " did not move to a neighbour";
            if (step > 0) {
                ASSERT_NE(particle.Cell, particle.Trail[1]) << "particle " << i << " turned back";
            }
        }
    }
}

TEST(ParticleSwarm, AFastParticleStepsEvery200MsWithARedTrailAndAPinkHead)
{
    TParticleSwarm swarm(3);
    TParticle& fast = swarm.Particle(0);
    fast.Speed = kFastSpeed;
    TParticle& slow = swarm.Particle(1);
    slow.Speed = 0.03f;
    EXPECT_EQ(TParticleSwarm::StepPeriod(fast.Speed), 200);
    EXPECT_EQ(TParticleSwarm::StepPeriod(slow.Speed), 333);

    // Ticked every millisecond, long after the catch-up, far into a long uptime.
    const std::int64_t start = std::int64_t(40) * 24 * 3600 * 1000 + 17;
    swarm.SetAnimTime(start);
    swarm.Step();
    std::vector<std::int64_t> fastSteps;
    std::vector<std::int64_t> slowSteps;
    for (std::int64_t t = start + 1; t <= start + 2000; ++t) {
        const std::int32_t fastCell = fast.Cell;
        const std::int32_t slowCell = slow.Cell;
        swarm.SetAnimTime(t);
        swarm.Step();
        swarm.UpdateProgress();
        if (fast.Cell != fastCell)
            fastSteps.push_back(t);
        if (slow.Cell != slowCell)
            slowSteps.push_back(t);
        ASSERT_GE(fast.Progress, 0.0f);
        ASSERT_LE(fast.Progress, 1.0f);
        ASSERT_GE(slow.Progress, 0.0f);
        ASSERT_LE(slow.Progress, 1.0f);
    }
    ASSERT_EQ(fastSteps.size(), 10u);
    for (std::size_t i = 1; i < fastSteps.size(); ++i)
        EXPECT_EQ(fastSteps[i] - fastSteps[i - 1], 200);
    EXPECT_EQ(fastSteps[0] % 200, 0);
    ASSERT_GE(slowSteps.size(), 6u);
    for (std::size_t i = 1; i < slowSteps.size(); ++i)
        EXPECT_EQ(slowSteps[i] - slowSteps[i - 1], 333) << "a 0.03 particle keeps its pace after 40 days";

    // Half way between steps: the head is half way, the trail fades from
    // the head; reddish for the fast particle, bluish for the other.
    swarm.SetAnimTime(fastSteps.back() + 100);
    swarm.UpdateProgress();
    EXPECT_FLOAT_EQ(fast.Progress, 0.5f);
    const auto trail = swarm.Trail(0);
    EXPECT_FLOAT_EQ(trail[0].R, 1.0f);
    EXPECT_FLOAT_EQ(trail[1].R, 5.0f / 6 - 0.5f / 6 + 0.5f);
    EXPECT_FLOAT_EQ(trail[1].G, 5.0f / 6 - 0.5f / 6);
    EXPECT_FLOAT_EQ(trail[1].B, trail[1].G);
    EXPECT_FLOAT_EQ(trail[5].G, 1.0f / 6 - 0.5f / 6);
    EXPECT_FLOAT_EQ(trail[6].B, 0.1f);
    EXPECT_FLOAT_EQ(trail[6].R, 0.0f);
    const TLatticePoint& from = swarm.Lattice(fast.Trail[0]);
    const TLatticePoint& to = swarm.Lattice(fast.Cell);
    const TSceneVertex head = swarm.Head(0);
    EXPECT_FLOAT_EQ(head.X, (from.X + to.X) / 2.0f);
    EXPECT_FLOAT_EQ(head.Z, (from.Z + to.Z) / 2.0f);
    EXPECT_FLOAT_EQ(head.G, 0.7f);
    EXPECT_FLOAT_EQ(swarm.Head(1).G, 1.0f);
    const auto blue = swarm.Trail(1);
    EXPECT_GT(blue[1].B, blue[1].R + 0.49f);

    // The start-up catch-up jumps by far more than a period at a time.
    swarm.SetAnimTime(0);
    swarm.Advance(start);
    swarm.Step();
    swarm.Advance(start);
    swarm.UpdateProgress();
    for (int i = 0; i < kParticleCount; ++i) {
        EXPECT_GE(swarm.Particle(i).Progress, 0.0f);
        EXPECT_LE(swarm.Particle(i).Progress, 1.0f);
    }
}
