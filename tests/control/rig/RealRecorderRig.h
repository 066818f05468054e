#pragma once

// The starting point of the rig's road tests: the state manager on the control tests' doubles,
// but recording through the real screen recorder, with a fresh scratch session open and its
// history log started. Needs the rig's X server and sound server; main thread only.
#include "StateManagerDoubles.h"

#include "capture/ScreenRecorder.h"
#include "control/SystemServices.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>
#include <memory>
#include <string>

namespace lumacast::testing {

// Runs the event loop until `done` or `ms` have passed; whether it was done.
inline bool pumpUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

struct RealRecorderRig {
    ManagerHarness h;
    std::shared_ptr<ScreenRecorder> recorder = std::make_shared<ScreenRecorder>(false, 2.0);
    Session session;

    // Capture permissions are granted; the countdown runs to its end, or is cancelled.
    explicit RealRecorderRig(bool countdownRuns)
    {
        h.permissions->checks.preset = true;
        h.countdown->runs.preset = countdownRuns;
        StateManagerServices services = h.services();
        services.recorder = std::make_shared<ScreenRecorderService>(recorder);
        h.manager.reset();
        h.manager = std::make_unique<AppStateManager>(services, false);
        session = h.newSession();
        h.m().replaceCurrentSession(session);
        h.m().sessionLog().open(session.scratchURL);
    }

    AppStateManager &m() { return h.m(); }
    // The application log as one text, for failure messages.
    std::string appLog() const { return h.appLogLines().join('\n').toStdString(); }
};

} // namespace lumacast::testing
