#include "control/Scheduler.h"

#include <QPointer>
#include <QTimer>

namespace lumacast {

namespace {

class TimerWork final : public ScheduledWork {
public:
    explicit TimerWork(QTimer *timer) : m_timer(timer) {}
    ~TimerWork() override = default;

    void cancel() override
    {
        if (m_timer) {
            m_timer->stop();
            m_timer->deleteLater();
        }
    }
    bool isPending() const override { return m_timer && m_timer->isActive(); }

private:
    QPointer<QTimer> m_timer; // owned by the context; gone with it
};

} // namespace

std::shared_ptr<ScheduledWork> TimerScheduler::schedule(std::chrono::milliseconds delay, QObject *context,
                                                        std::function<void()> work)
{
    // Parented to the context, so that the timer (and with it the work) dies with the context.
    auto *timer = new QTimer(context);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, work = std::move(work)] {
        timer->deleteLater();
        work();
    });
    timer->start(delay);
    return std::make_shared<TimerWork>(timer);
}

} // namespace lumacast
