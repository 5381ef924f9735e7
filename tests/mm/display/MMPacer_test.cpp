// The frame pacer: what a first pacer asks for is drawn in its own frame, a
// request from another thread joins a frame already armed instead of waking
// the thread for one of its own, and a draw asked for later comes with any
// sooner frame.
#include "mm/display/MMPacer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(MMFramePacer, WhatAFirstPacerAsksForIsDrawnInItsFrame)
{
    QObject context;
    std::vector<std::string> order;
    TMMFramePacer display(&context, [&] { order.push_back("display"); });
    TMMFramePacer feeder(
        &context,
        [&] {
            order.push_back("feeder");
            display.Request();
        },
        true);
    display.Request();
    feeder.Request();
    ASSERT_TRUE(TMMFramePacer::DrawFrameNow());
    EXPECT_EQ(order, (std::vector<std::string> { "feeder", "display" }));
    EXPECT_FALSE(TMMFramePacer::DrawFrameNow()) << "nothing is left for the next frame";
}

TEST(MMFramePacer, ARequestFromAnotherThreadJoinsTheArmedFrame)
{
    QObject context;
    int ownDraws = 0;
    int otherDraws = 0;
    TMMFramePacer own(&context, [&] { ++ownDraws; });
    TMMFramePacer other(&context, [&] { ++otherDraws; });
    own.Request();
    std::thread([&] { other.Request(); }).join();
    ASSERT_TRUE(TMMFramePacer::DrawFrameNow());
    EXPECT_EQ(ownDraws, 1);
    EXPECT_EQ(otherDraws, 1) << "taken into the armed frame without the event loop";

    // No frame armed: the request reaches the thread through its events.
    std::thread([&] { other.Request(); }).join();
    EXPECT_FALSE(TMMFramePacer::DrawFrameNow());
    QElapsedTimer timer;
    timer.start();
    while (otherDraws < 2 && timer.elapsed() < 2000)
        QCoreApplication::processEvents();
    EXPECT_EQ(otherDraws, 2);
}

TEST(MMFramePacer, ADrawAskedForLaterComesWithASoonerFrame)
{
    QObject context;
    int lateDraws = 0;
    int soonDraws = 0;
    TMMFramePacer late(&context, [&] { ++lateDraws; });
    TMMFramePacer soon(&context, [&] { ++soonDraws; });
    auto runUntil = [](const std::function<bool()>& done, int milliseconds) {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < milliseconds)
            QCoreApplication::processEvents();
    };
    late.RequestLater(60000);
    runUntil([] { return false; }, 5 * TMMFramePacer::kFrameMs);
    EXPECT_EQ(lateDraws, 0) << "nothing sooner came";
    soon.Request();
    runUntil([&] { return lateDraws > 0; }, 2000);
    EXPECT_EQ(lateDraws, 1);
    EXPECT_EQ(soonDraws, 1);
    // Asked for again at frame pace: the next frame, not the later one.
    late.RequestLater(60000);
    late.Request();
    runUntil([&] { return lateDraws > 1; }, 2000);
    EXPECT_EQ(lateDraws, 2);
}

} // namespace
