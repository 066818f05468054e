// When a screen cast's held picture is handed on again: once a second for the writer to write it
// anew, for the pointer, at a pause and at the end, each on the take's grid where a source
// repeating at the take's rate would have put it.
#include "platform/pipewire/RepeatSchedule.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using lumacast::pipewire::RepeatSchedule;
using Delivery = RepeatSchedule::Delivery;

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kInterval = 10 * kMs;
constexpr int64_t kLongestHold = 1000 * kMs;

enum class Ask { rewrite, pointer, holdBefore, end, sleep, sleepWatchingPointer };

// What happens to the schedule: a delivery of each kind, a pause, a resume, the picture let go.
enum class Event { picture, rewrite, hold, pause, resume, forget };

struct Case {
    const char *name;
    std::vector<std::pair<int64_t, Event>> events; // ms, in order
    Ask ask;
    int64_t at; // ms
    std::vector<int64_t> expected; // ms; none for no repeat
};

std::vector<int64_t> answer(const RepeatSchedule &schedule, Ask ask, int64_t at)
{
    std::optional<int64_t> one;
    switch (ask) {
    case Ask::rewrite: one = schedule.rewriteDue(at); break;
    case Ask::pointer: one = schedule.pointerRepeatDue(at); break;
    case Ask::holdBefore: one = schedule.holdBefore(at); break;
    case Ask::end: return schedule.endAt(at);
    case Ask::sleep: return {schedule.sleepAt(at, false)};
    case Ask::sleepWatchingPointer: return {schedule.sleepAt(at, true)};
    }
    return one ? std::vector<int64_t>{*one} : std::vector<int64_t>{};
}

TEST(RepeatSchedule, RepeatsOnlyWhereTheTakeNeedsThePictureAgain)
{
    using enum Event;
    const Case cases[] = {
        {"no rewrite before the hold is over", {{0, picture}}, Ask::rewrite, 999, {}},
        {"rewrite a second after the picture", {{0, picture}}, Ask::rewrite, 1004, {1000}},
        {"a hold moves no rewrite", {{0, picture}, {500, hold}}, Ask::rewrite, 1000, {1000}},
        {"the next a second after the rewrite", {{0, picture}, {1000, rewrite}}, Ask::rewrite, 1999, {}},
        {"a new picture moves the rewrite", {{0, picture}, {700, picture}}, Ask::rewrite, 1500, {}},
        {"nothing without a picture", {}, Ask::rewrite, 5000, {}},
        {"nothing once forgotten", {{0, picture}, {1, forget}}, Ask::rewrite, 5000, {}},
        {"nothing while paused", {{0, picture}, {500, pause}}, Ask::rewrite, 5000, {}},
        {"put off by the pause from the last delivery", {{0, picture}, {490, hold}, {500, pause}, {1200, resume}},
         Ask::rewrite, 1709, {}},
        {"due as long after the resume", {{0, picture}, {490, hold}, {500, pause}, {1200, resume}}, Ask::rewrite, 1710,
         {1710}},
        {"a picture while paused is written at the resume", {{0, picture}, {500, pause}, {800, picture}, {1200, resume}},
         Ask::rewrite, 2199, {}},
        {"pointer: not within a quarter interval", {{0, picture}}, Ask::pointer, 12, {}},
        {"pointer: on the grid", {{0, picture}}, Ask::pointer, 13, {10}},
        {"pointer: the latest grid point", {{0, picture}}, Ask::pointer, 57, {50}},
        {"pointer: not while paused", {{0, picture}, {5, pause}}, Ask::pointer, 57, {}},
        {"pause: no interval since the picture", {{0, picture}}, Ask::holdBefore, 10, {}},
        {"pause: the grid point before it", {{0, picture}}, Ask::holdBefore, 11, {10}},
        {"pause: held long", {{0, picture}, {1000, rewrite}}, Ask::holdBefore, 1735, {1730}},
        {"pause: nothing once forgotten", {{0, picture}, {1, forget}}, Ask::holdBefore, 1735, {}},
        {"end: a lone picture ends itself", {{0, picture}}, Ask::end, 5, {}},
        {"end: an interval on", {{0, picture}}, Ask::end, 15, {10}},
        {"end: the last interval before it", {{0, picture}}, Ask::end, 35, {20, 30}},
        {"end: after a still second", {{0, picture}, {1000, rewrite}}, Ask::end, 1005, {1010}},
        {"end: pictures at the take's rate", {{0, picture}, {10, picture}}, Ask::end, 15, {}},
        {"sleep until the rewrite", {{0, picture}}, Ask::sleep, 400, {600}},
        {"sleep an interval watching the pointer", {{0, picture}}, Ask::sleepWatchingPointer, 400, {10}},
        {"sleep the hold without a picture", {}, Ask::sleep, 400, {1000}},
        {"sleep the hold while paused", {{0, picture}, {5, pause}}, Ask::sleepWatchingPointer, 400, {1000}},
        {"a rewrite overdue", {{0, picture}}, Ask::sleep, 1200, {1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RepeatSchedule schedule(kInterval, kLongestHold);
        for (const auto &[ms, event] : c.events) {
            switch (event) {
            case picture: schedule.delivered(ms * kMs, Delivery::picture); break;
            case rewrite: schedule.delivered(ms * kMs, Delivery::rewrite); break;
            case hold: schedule.delivered(ms * kMs, Delivery::hold); break;
            case pause: schedule.pause(); break;
            case resume: schedule.resume(ms * kMs); break;
            case forget: schedule.forget(); break;
            }
        }
        std::vector<int64_t> expected;
        for (const int64_t ms : c.expected)
            expected.push_back(ms * kMs);
        EXPECT_EQ(answer(schedule, c.ask, c.at * kMs), expected);
    }
}

} // namespace
