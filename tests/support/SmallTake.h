#pragma once

// A second of a small take written by the application's own take writer; link the test with
// lumacast_capture.
#include "capture/TakeWriter.h"

#include <QByteArray>
#include <QString>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace lumacast::testing {

// Unfinished, as a crash leaves it (the movie and its journal), unless `finish`. `note` is the
// journal's note (UnfinishedTakes::journalNote names the take's scene); `journalStays` keeps it
// after the finish, as the application's takes do until a manifest names them.
inline void recordSmallTake(const QString &path, const QByteArray &note, bool finish, bool journalStays = false)
{
    TakeWriter writer(path);
    writer.journalNote = note;
    writer.journalOutlivesFinish = journalStays;
    writer.setUp(96, 64, 48000, 1, false);
    std::vector<uint8_t> pixels(96 * 64 * 4, 90);
    std::vector<float> sound(480, 0.1f);
    for (int i = 0; i < 30; ++i) {
        pixels[i * 4] = 255;
        writer.appendVideo({pixels.data(), 96, 64, 96 * 4, SampleTime::make(1000 + i, 30)});
        for (int k = 0; k < 4; ++k)
            writer.appendMicAudio({sound.data(), 400, AudioBuffer::Format::float32, 48000, 1,
                                   SampleTime::make((1000 * 1600) + (i * 4 + k) * 400, 48000)});
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    if (finish) {
        ASSERT_TRUE(writer.finish());
    }
}

} // namespace lumacast::testing
