#pragma once
// What a wave input tells its owner while a test drives it: its OnError,
// OnStop and OnClose events, counted, and the messages of the exceptions
// the application is told of. For the tests that link mm_capture; a test
// fixture takes it as a second base.

#include "mm/capture/MMWavIn.h"
#include "platform/ui/Application.h"
#include "platform/ui/SysUtils.h"

#include <QString>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

namespace tonvara::test {

class TWaveInEvents {
public:
    /// Counts In's OnError, OnStop and OnClose here. In must not outlive
    /// this object.
    void Watch(TMMCustomWaveIn& in)
    {
        in.SetOnError([this](TObject*) { ++Errors; });
        in.SetOnStop([this](TObject*) { ++Stops; });
        in.SetOnClose([this](TObject*) { ++Closes; });
    }

    /// Keeps the messages of the exceptions Application reports (GUI
    /// thread), until ReleaseExceptions.
    void CatchExceptions()
    {
        Application->SetOnException(
            [this](TObject*, const std::exception& e) { Exceptions.push_back(ExceptionMessage(e)); });
    }
    void ReleaseExceptions() { Application->SetOnException(nullptr); }

    /// Runs Action, which must raise EMMWaveInError with Message after
    /// firing OnError.
    void ExpectError(const std::function<void()>& action, const QString& message)
    {
        const int before = Errors;
        try {
            action();
            ADD_FAILURE() << "no EMMWaveInError, expected " << message.toStdString();
        } catch (const EMMWaveInError& e) {
            EXPECT_EQ(e.Message(), message);
            EXPECT_GT(Errors, before) << "OnError fires before the exception";
        }
    }

    int Errors = 0;
    int Stops = 0;
    int Closes = 0;
    std::vector<QString> Exceptions;
};

} // namespace tonvara::test
