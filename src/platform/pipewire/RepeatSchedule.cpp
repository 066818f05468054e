#include "platform/pipewire/RepeatSchedule.h"

#include <algorithm>

namespace lumacast::pipewire {

namespace {
constexpr int64_t kMinimumSleepNs = 1000000;
}

RepeatSchedule::RepeatSchedule(int64_t intervalNs, int64_t longestHoldNs)
    : m_interval(std::max<int64_t>(intervalNs, 1)),
      m_longestHold(std::max(longestHoldNs, m_interval))
{
}

void RepeatSchedule::delivered(int64_t dateNs, Delivery delivery)
{
    m_gapBefore = m_hasPicture ? dateNs - m_last : 0;
    m_last = dateNs;
    if (delivery != Delivery::hold || !m_hasPicture)
        m_written = dateNs;
    m_hasPicture = true;
}

void RepeatSchedule::pause()
{
    if (!m_pausedFrom)
        m_pausedFrom = m_last;
}

void RepeatSchedule::resume(int64_t atNs)
{
    if (!m_pausedFrom)
        return;
    if (m_written <= *m_pausedFrom)
        m_written += atNs - *m_pausedFrom;
    else
        m_written = atNs;
    m_pausedFrom.reset();
}

std::optional<int64_t> RepeatSchedule::rewriteDue(int64_t nowNs) const
{
    const int64_t due = m_written + m_longestHold;
    if (!m_hasPicture || m_pausedFrom || nowNs < due)
        return std::nullopt;
    return std::max(due, m_last + 1);
}

std::optional<int64_t> RepeatSchedule::pointerRepeatDue(int64_t nowNs) const
{
    if (!m_hasPicture || m_pausedFrom || nowNs - m_last < m_interval * 5 / 4)
        return std::nullopt;
    return m_last + intervalsTo(nowNs) * m_interval;
}

std::optional<int64_t> RepeatSchedule::holdBefore(int64_t limitNs) const
{
    const int64_t intervals = intervalsTo(limitNs - 1);
    if (!m_hasPicture || intervals < 1)
        return std::nullopt;
    return m_last + intervals * m_interval;
}

std::vector<int64_t> RepeatSchedule::endAt(int64_t nowNs) const
{
    if (!m_hasPicture)
        return {};
    const int64_t intervals = intervalsTo(nowNs);
    if (intervals >= 2)
        return {m_last + (intervals - 1) * m_interval, m_last + intervals * m_interval};
    // Within an interval of the end the last delivery ends the take, unless the one before it was
    // held longer: then the picture lasts one interval more.
    if (intervals == 1 || m_gapBefore > m_interval * 5 / 4)
        return {m_last + m_interval};
    return {};
}

int64_t RepeatSchedule::sleepAt(int64_t nowNs, bool watchesPointer) const
{
    int64_t sleep = m_hasPicture && !m_pausedFrom ? m_written + m_longestHold - nowNs : m_longestHold;
    if (watchesPointer && !m_pausedFrom)
        sleep = std::min(sleep, m_interval);
    return std::clamp(sleep, kMinimumSleepNs, m_longestHold);
}

} // namespace lumacast::pipewire
