// Milliseconds of one core per BGRA frame converted to 4:2:0 (BT.709), on every path the
// processor has. The capture path converts every frame, at up to 60 frames a second.
//
//   bt709convert-bench [--size WxH] [--frames N]

#include "platform/av/Bt709Convert.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A few distinct frames in turn, so that no run works on one frame that never leaves the cache
// more than the capture path would.
struct Frames {
    int width, height;
    std::vector<std::vector<uint8_t>> bgra;
    std::vector<uint8_t> y, u, v;
    Frames(int w, int h, int count)
        : width(w), height(h), y(size_t(w) * h), u(size_t((w + 1) / 2) * ((h + 1) / 2)), v(u.size())
    {
        uint32_t seed = 1;
        for (int f = 0; f < count; ++f) {
            std::vector<uint8_t> frame(size_t(w) * h * 4);
            for (int row = 0; row < h; ++row)
                for (int x = 0; x < w; ++x) {
                    uint8_t *p = &frame[(size_t(row) * w + x) * 4];
                    seed = seed * 1664525u + 1013904223u;
                    p[0] = uint8_t(x * 255 / w + f * 40), p[1] = uint8_t(row * 255 / h),
                    p[2] = uint8_t(seed >> 24), p[3] = 255;
                }
            bgra.push_back(std::move(frame));
        }
    }
};

// The best of five rounds, so that a moment of load from elsewhere on the machine does not
// count against a routine.
double msPerFrame(Frames &frames, int count,
                  const std::function<void(const uint8_t *, Frames &)> &convert)
{
    for (auto &frame : frames.bgra) // warm up
        convert(frame.data(), frames);
    const int perRound = count / 5 + 1;
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
        const auto start = Clock::now();
        for (int i = 0; i < perRound; ++i)
            convert(frames.bgra[size_t(i) % frames.bgra.size()].data(), frames);
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count() / perRound);
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    int width = 1920, height = 1080, count = 600;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--size") && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2)
                width = 0;
        } else if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) {
            count = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: bt709convert-bench [--size WxH] [--frames N]\n");
            return 2;
        }
    }
    if (width < 2 || height < 2 || count < 1) {
        std::fprintf(stderr, "bt709convert-bench: bad arguments\n");
        return 2;
    }
    Frames frames(width, height, 4);
    const int cw = (width + 1) / 2;
    const auto on = [&](lumacast::av::Bt709Path path) {
        return [&, path](const uint8_t *p, Frames &f) {
            lumacast::av::convertBgraToI420Bt709On(path, p, width * 4, f.y.data(), width,
                                                      f.u.data(), cw, f.v.data(), cw, width, height);
        };
    };
    std::printf("BGRA -> I420, %dx%d, %d frames, ms per frame on one core:\n", width, height, count);
    const double ours = msPerFrame(frames, count, [&](const uint8_t *p, Frames &f) {
        lumacast::av::convertBgraToI420Bt709(p, width * 4, f.y.data(), width, f.u.data(), cw,
                                                f.v.data(), cw, width, height);
    });
    std::printf("  ours, BT.709, fastest path      %.4f\n", ours);
    const struct {
        lumacast::av::Bt709Path path;
        const char *name;
        int frames;
    } paths[] = {{lumacast::av::Bt709Path::avx2Vnni, "AVX2 + VNNI", count},
                 {lumacast::av::Bt709Path::avx2, "AVX2", count},
                 {lumacast::av::Bt709Path::portable, "portable", count / 4 + 1}};
    for (const auto &p : paths)
        if (lumacast::av::isBt709PathAvailable(p.path))
            std::printf("  ours, BT.709, %-17s %.4f\n", p.name, msPerFrame(frames, p.frames, on(p.path)));
    std::printf("{\"oursMs\":%.4f}\n", ours);
    return 0;
}
