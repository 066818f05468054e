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

struct Case {
    const char *name;
    std::vector<std::pair<int64_t, Delivery>> deliveries; // ms, in order
    bool forgotten;
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
    const auto picture = Delivery::picture, rewrite = Delivery::rewrite, hold = Delivery::hold;
    const Case cases[] = {
        {"no rewrite before the hold is over", {{0, picture}}, false, Ask::rewrite, 999, {}},
        {"rewrite a second after the picture", {{0, picture}}, false, Ask::rewrite, 1004, {1000}},
        {"a pause's hold moves no rewrite", {{0, picture}, {500, hold}}, false, Ask::rewrite, 1000, {1000}},
        {"the next a second after the rewrite", {{0, picture}, {1000, rewrite}}, false, Ask::rewrite, 1999, {}},
        {"a new picture moves the rewrite", {{0, picture}, {700, picture}}, false, Ask::rewrite, 1500, {}},
        {"nothing without a picture", {}, false, Ask::rewrite, 5000, {}},
        {"nothing once forgotten", {{0, picture}}, true, Ask::rewrite, 5000, {}},
        {"pointer: not within a quarter interval", {{0, picture}}, false, Ask::pointer, 12, {}},
        {"pointer: on the grid", {{0, picture}}, false, Ask::pointer, 13, {10}},
        {"pointer: the latest grid point", {{0, picture}}, false, Ask::pointer, 57, {50}},
        {"pause: no interval since the picture", {{0, picture}}, false, Ask::holdBefore, 10, {}},
        {"pause: the grid point before it", {{0, picture}}, false, Ask::holdBefore, 11, {10}},
        {"pause: held long", {{0, picture}, {1000, rewrite}}, false, Ask::holdBefore, 1735, {1730}},
        {"pause: nothing once forgotten", {{0, picture}}, true, Ask::holdBefore, 1735, {}},
        {"end: a lone picture ends itself", {{0, picture}}, false, Ask::end, 5, {}},
        {"end: an interval on", {{0, picture}}, false, Ask::end, 15, {10}},
        {"end: the last interval before it", {{0, picture}}, false, Ask::end, 35, {20, 30}},
        {"end: after a still second", {{0, picture}, {1000, rewrite}}, false, Ask::end, 1005, {1010}},
        {"end: pictures at the take's rate", {{0, picture}, {10, picture}}, false, Ask::end, 15, {}},
        {"sleep until the rewrite", {{0, picture}}, false, Ask::sleep, 400, {600}},
        {"sleep an interval watching the pointer", {{0, picture}}, false, Ask::sleepWatchingPointer, 400, {10}},
        {"sleep the hold without a picture", {}, false, Ask::sleep, 400, {1000}},
        {"a rewrite overdue", {{0, picture}}, false, Ask::sleep, 1200, {1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RepeatSchedule schedule(kInterval, kLongestHold);
        for (const auto &[date, delivery] : c.deliveries)
            schedule.delivered(date * kMs, delivery);
        if (c.forgotten)
            schedule.forget();
        std::vector<int64_t> expected;
        for (const int64_t ms : c.expected)
            expected.push_back(ms * kMs);
        EXPECT_EQ(answer(schedule, c.ask, c.at * kMs), expected);
    }
}

} // namespace
