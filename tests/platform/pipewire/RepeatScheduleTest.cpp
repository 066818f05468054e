// When a screen cast's held picture is handed on again: once a second for the writer to write it
// anew (a pause taken out), for the pointer, at a pause and at the end, each on the take's grid
// where a source repeating at the take's rate would have put it.
#include "platform/pipewire/RepeatSchedule.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using lumacast::pipewire::RepeatSchedule;

namespace {

enum Event { picture, rewrite, hold, pause, resume, forget }; // deliveries in Delivery's order
enum class Ask { rewrite, pointer, holdBefore, end, sleep, sleepWatchingPointer };

struct Case {
    const char *name;
    std::vector<std::pair<int64_t, Event>> events; // ms, in order
    Ask ask;
    int64_t at;                    // ms
    std::vector<int64_t> expected; // ms; none for no repeat
};

TEST(RepeatSchedule, RepeatsOnlyWhereTheTakeNeedsThePictureAgain)
{
    const Case cases[] = {
        {"rewrite a second after the picture", {{0, picture}}, Ask::rewrite, 1004, {1000}},
        {"a hold moves no rewrite", {{0, picture}, {500, hold}}, Ask::rewrite, 1000, {1000}},
        {"nothing while paused", {{0, picture}, {500, pause}}, Ask::rewrite, 5000, {}},
        {"put off from the last delivery before the pause", {{0, picture}, {490, hold}, {500, pause}, {1200, resume}},
         Ask::rewrite, 1710, {1710}},
        {"a picture while paused is written at the resume", {{0, picture}, {500, pause}, {800, picture}, {1200, resume}},
         Ask::rewrite, 2199, {}},
        {"pointer: the latest grid point", {{0, picture}}, Ask::pointer, 57, {50}},
        {"pause: no interval since the picture", {{0, picture}}, Ask::holdBefore, 10, {}},
        {"pause: the grid point before it", {{0, picture}, {1000, rewrite}}, Ask::holdBefore, 1735, {1730}},
        {"end: a lone picture ends itself", {{0, picture}}, Ask::end, 5, {}},
        {"end: an interval on", {{0, picture}}, Ask::end, 15, {10}},
        {"end: the last interval before it", {{0, picture}}, Ask::end, 35, {20, 30}},
        {"end: after a still second", {{0, picture}, {1000, rewrite}}, Ask::end, 1005, {1010}},
        {"end: pictures at the take's rate", {{0, picture}, {10, picture}}, Ask::end, 15, {}},
        {"sleep until the rewrite", {{0, picture}}, Ask::sleep, 400, {600}},
        {"sleep an interval watching the pointer", {{0, picture}}, Ask::sleepWatchingPointer, 400, {10}},
        {"sleep the hold while paused", {{0, picture}, {5, pause}}, Ask::sleepWatchingPointer, 400, {1000}},
        {"a rewrite overdue", {{0, picture}}, Ask::sleep, 1200, {1}},
    };
    constexpr int64_t ms = 1000000;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RepeatSchedule schedule(10 * ms, 1000 * ms);
        for (const auto &[at, event] : c.events) {
            if (event == pause)
                schedule.pause();
            else if (event == resume)
                schedule.resume(at * ms);
            else if (event == forget)
                schedule.forget();
            else
                schedule.delivered(at * ms, RepeatSchedule::Delivery(event));
        }
        std::optional<int64_t> one;
        std::vector<int64_t> got;
        switch (c.ask) {
        case Ask::rewrite: one = schedule.rewriteDue(c.at * ms); break;
        case Ask::pointer: one = schedule.pointerRepeatDue(c.at * ms); break;
        case Ask::holdBefore: one = schedule.holdBefore(c.at * ms); break;
        case Ask::end: got = schedule.endAt(c.at * ms); break;
        case Ask::sleep: got = {schedule.sleepAt(c.at * ms, false)}; break;
        case Ask::sleepWatchingPointer: got = {schedule.sleepAt(c.at * ms, true)}; break;
        }
        if (one)
            got.push_back(*one);
        std::vector<int64_t> expected = c.expected;
        for (int64_t &t : expected)
            t *= ms;
        EXPECT_EQ(got, expected);
    }
}

} // namespace
