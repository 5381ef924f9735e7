// The frame pacer: what a first pacer asks for is drawn in its own frame,
// and a request from another thread joins a frame already armed instead of
// waking the thread for one of its own.
#include "mm/display/MMPacer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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

} // namespace
