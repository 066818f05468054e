#include "platform/pipewire/WindowEdges.h"

#include "model/LogCategories.h"

#include <algorithm>
#include <ctime>

namespace lumacast::pipewire {

namespace {

// A run of equal see-through black lines whose alpha, summed over the run, reaches this is the
// window's own (a see-through background): a shadow's faint tail stays flat only while it is
// faint (GTK 4's runs of 1 over 8 lines, of 12 over 2), and its alpha rises from there.
constexpr int kWindowsOwnRun = 64;

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One line of the picture, parallel to a side: whether every pixel on it is black (colour 0), and
// its highest alpha.
struct Line {
    bool black = true;
    int alpha = 0;
};

template <typename Pixel>
Line lineAt(int i, int length, Pixel pixel)
{
    Line line;
    for (int j = 0; j < length; ++j) {
        const uint8_t *p = pixel(i, j);
        line.black = line.black && p[0] == 0 && p[1] == 0 && p[2] == 0;
        line.alpha = std::max<int>(line.alpha, p[3]);
    }
    return line;
}

// How many lines in from one side are unpainted: `pixel(i, j)` is the j-th of `length` pixels on
// the i-th line from that side. See-through black lines count while their alpha rises towards the
// window, as a shadow's does, or stays flat while faint. A line with colour or an opaque pixel
// ends them; so does the first of a run of equal lines heavy enough to be the window's own, and,
// where the alpha falls, the run at its peak, which stays. One side is at most half the picture:
// a picture unpainted from there on has nothing to leave out.
template <typename Pixel>
int unpaintedLines(int lines, int length, Pixel pixel)
{
    int before = -1;  // the alpha of the line before
    int runStart = 0; // the first of the lines of that alpha
    for (int i = 0; i < lines / 2; ++i) {
        const Line line = lineAt(i, length, pixel);
        if (!line.black || line.alpha == 255)
            return i;
        if (line.alpha < before)
            return runStart;
        if (line.alpha > before)
            runStart = i;
        else if (line.alpha > 0 && (i - runStart + 1) * line.alpha >= kWindowsOwnRun)
            return runStart;
        before = line.alpha;
    }
    return 0;
}

// Whether the fourth byte reads as alpha: a window holds opaque pixels where the desktop sends
// alpha, and its middle row or column crosses some (its title bar, at least); a desktop whose
// fourth byte means nothing (0 throughout) sends none.
bool alphaReads(const WindowEdges::Picture &p)
{
    const auto alpha = [&](int x, int y) { return p.pixels[size_t(y) * size_t(p.stride) + size_t(x) * 4 + 3]; };
    for (int x = 0; x < p.size.width(); ++x)
        if (alpha(x, p.size.height() / 2) == 255)
            return true;
    for (int y = 0; y < p.size.height(); ++y)
        if (alpha(p.size.width() / 2, y) == 255)
            return true;
    return false;
}

// A window drawn at its size has edges on both sides of an axis or on neither.
bool drawnAtItsSize(const QMargins &edges)
{
    return (edges.left() > 0) == (edges.right() > 0) && (edges.top() > 0) == (edges.bottom() > 0);
}

// The lines on either side of each edge, hashed (FNV-1a): the last left out and the window's first.
std::array<uint64_t, 4> boundaryOf(const WindowEdges::Picture &p, const QMargins &edges)
{
    const int w = p.size.width();
    const int h = p.size.height();
    const auto at = [&](int x, int y) { return p.pixels + size_t(y) * size_t(p.stride) + size_t(x) * 4; };
    const auto hashLines = [&](int depth, int lines, int length, auto pixel) {
        uint64_t hash = 14695981039346656037ull;
        for (int i = std::max(0, depth - 1); i <= std::min(depth, lines - 1); ++i)
            for (int j = 0; j < length; ++j)
                for (int k = 0; k < 4; ++k)
                    hash = (hash ^ pixel(i, j)[k]) * 1099511628211ull;
        return hash;
    };
    return {hashLines(edges.left(), w, h, [&](int i, int j) { return at(i, j); }),
            hashLines(edges.top(), h, w, [&](int i, int j) { return at(j, i); }),
            hashLines(edges.right(), w, h, [&](int i, int j) { return at(w - 1 - i, j); }),
            hashLines(edges.bottom(), h, w, [&](int i, int j) { return at(j, h - 1 - i); })};
}

} // namespace

QMargins WindowEdges::measure(const Picture &p) const
{
    if (!m_alphaKnown && !alphaReads(p))
        return QMargins();
    const int w = p.size.width();
    const int h = p.size.height();
    const auto at = [&](int x, int y) { return p.pixels + size_t(y) * size_t(p.stride) + size_t(x) * 4; };
    return QMargins(unpaintedLines(w, h, [&](int i, int j) { return at(i, j); }),
                    unpaintedLines(h, w, [&](int i, int j) { return at(j, i); }),
                    unpaintedLines(w, h, [&](int i, int j) { return at(w - 1 - i, j); }),
                    unpaintedLines(h, w, [&](int i, int j) { return at(j, h - 1 - i); }));
}

bool WindowEdges::update(const Picture &picture)
{
    if (picture.size.isEmpty() || (m_foundFor && !picture.whole))
        return false;
    const bool resized = m_foundFor != picture.region;
    if (!resized && m_agreed >= 2 && boundaryOf(picture, m_margins) == m_boundary)
        return false;
    if (resized)
        m_agreed = 0;
    m_foundFor = picture.region;
    const QMargins found = measure(picture);
    QMargins edges = found;
    if (drawnAtItsSize(found)) {
        m_agreed = m_agreed > 0 && found == m_lastFound ? 2 : 1;
        m_lastFound = found;
    } else {
        // Drawn at the old size: nothing is left out that either picture shows.
        m_agreed = 0;
        edges = QMargins(std::min(found.left(), m_margins.left()), std::min(found.top(), m_margins.top()),
                         std::min(found.right(), m_margins.right()), std::min(found.bottom(), m_margins.bottom()));
        if (mayTell())
            qCInfo(log::recorder(),
                   "screen cast: the window's %dx%d picture is not drawn at its size (its edges read %d left, %d top, "
                   "%d right, %d bottom): they are looked for again in the next",
                   picture.region.width(), picture.region.height(), found.left(), found.top(), found.right(),
                   found.bottom());
    }
    m_boundary = boundaryOf(picture, edges);
    if (edges == m_margins)
        return false;
    m_margins = edges;
    if (mayTell())
        qCInfo(log::recorder(),
               "screen cast: the window's %dx%d picture leaves out its unpainted edges: %d left, %d top, %d right, "
               "%d bottom",
               picture.region.width(), picture.region.height(), edges.left(), edges.top(), edges.right(),
               edges.bottom());
    return true;
}

// Told at once up to a few times, then once a second: a window whose edges keep changing does not
// flood the log.
bool WindowEdges::mayTell()
{
    const int64_t now = monotonicNs();
    if (const int64_t seconds = (now - m_toldAt) / 1000000000; seconds > 0) {
        m_toldAt = now;
        m_toTell = int(std::min<int64_t>(kChangesTold, m_toTell + seconds));
    }
    if (m_toTell <= 0)
        return false;
    --m_toTell;
    return true;
}

} // namespace lumacast::pipewire
