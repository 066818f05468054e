#include "control/BackgroundCopy.h"

#include "control/AppStateManager.h"

#include <qcoro/qcorosignal.h>

#include <chrono>
#include <utility>

namespace lumacast {

namespace {

// How long a copy runs before the program says it is working: a clone or a short take is done by
// then, and a sheet that came and went would only flicker.
constexpr std::chrono::milliseconds kShownAfter{250};

} // namespace

BackgroundCopy::BackgroundCopy(AppStateManager &manager)
    : m(manager)
{
}

QCoro::Task<> BackgroundCopy::idle()
{
    const QPointer<AppStateManager> alive(&m);
    while (alive && m_running)
        co_await qCoro(&m_ended, &CopyEndNotifier::ended);
}

BackgroundCopy::Running::Running(BackgroundCopy &copy, const QString &label)
    : m_manager(&copy.m)
    , m_copy(copy)
    , m_asking(copy.m.interactions().hold(InteractionGate::Kind::asking))
{
    AppStateManager &m = copy.m;
    m.logApp(QStringLiteral("[app] copying — ") + label);
    m_copy.m_running = true;
    emit m.copyChanged();
    m_shown = m.m_services.scheduler->schedule(kShownAfter, &m, [&m, label] {
        m.m_copyLabel = label;
        emit m.copyChanged();
    });
}

void BackgroundCopy::Running::end()
{
    if (std::exchange(m_ended, true))
        return;
    m_shown->cancel();
    AppStateManager *m = m_manager.data();
    if (!m)
        return;
    m_copy.m_running = false;
    m->m_copyLabel.clear();
    m->logApp(QStringLiteral("[app] copy done"));
    // Before the gate opens, so that a command that waited finds the copy over.
    emit m->copyChanged();
    emit m_copy.m_ended.ended();
    m_asking.release();
}

} // namespace lumacast
