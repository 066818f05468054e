#pragma once

// Notes when a player first shows each white frame of a marked movie (see MonitorRecorder.h),
// on the steady clock the monitor recorder also uses. Main thread: the player's frameChanged.
#include "platform/av/MoviePlayer.h"

#include <QImage>
#include <QObject>

#include <chrono>
#include <vector>

namespace lumacast::testing {

// `whites` must outlive the player's connection (that is, the player).
inline void watchWhiteFrames(av::MoviePlayer &player, std::vector<std::chrono::steady_clock::time_point> &whites)
{
    QObject::connect(&player, &av::Player::frameChanged, &player, [&player, &whites, wasWhite = false]() mutable {
        const auto now = std::chrono::steady_clock::now();
        const QImage image = player.currentFrame();
        const bool white = !image.isNull() && qGray(image.pixel(image.width() / 2, image.height() / 2)) > 128;
        if (white && !wasWhite)
            whites.push_back(now);
        wasWhite = white;
    });
}

} // namespace lumacast::testing
