#pragma once

// A window's unpainted edges in its cast: the lines round the window, inside the region the desktop
// marks as the window's, that hold nothing of it. A desktop paints its invisible resize edges with
// nothing or with its shadow, and a program paints its own shadow there: see-through black,
// premultiplied, which a BGRx take shows as black bands, so they are left out of every picture.
//
// They are told from the window's own dark or see-through pixels by their alpha, where it means
// alpha (a stream negotiated with alpha, or a picture with opaque pixels on its middle row or
// column), and by the shape a shadow has: its alpha rises from the region's side towards the
// window. A line with any colour, or with an opaque pixel, is the window's; so is a run of equal
// see-through lines heavy enough to be no shadow's faint tail (a see-through background), and
// where the alpha falls again towards the window the lines up to its peak stay. Where the two
// cannot be told apart the pixels stay: a band of shadow is better than a window's lost pixels.
//
// A picture of a window drawn at its size has edges on both sides of an axis or on neither: one
// drawn at the old size while the window is resized (stretched over, or squeezed into, the new
// region and cut off at its sides) does not, and is not taken as the window's new edges. The edges
// are looked for in every picture after the region changed size until two pictures in a row, drawn
// at their size, agree; from then on only where a line on either side of an edge changed (a new
// style, a window drawn anew), and then again until two agree.
//
// Not thread-safe: the frame source keeps it on PipeWire's loop thread.

#include <QMargins>
#include <QSize>

#include <array>
#include <cstdint>
#include <optional>

namespace lumacast::pipewire {

class WindowEdges {
public:
    // One picture of the window's region: `size` pixels of 32 bits, the alpha last (BGRx and BGRA
    // alike), rows `stride` bytes apart; `region` is the desktop's region, which `size` is where
    // the region lies wholly in its buffer (`whole`), and a cut-off part of otherwise.
    struct Picture {
        const uint8_t *pixels = nullptr;
        int stride = 0;
        QSize size;
        QSize region;
        bool whole = true;
    };

    // `alphaKnown`: the stream was negotiated with alpha, so the fourth byte means it.
    explicit WindowEdges(bool alphaKnown = false) : m_alphaKnown(alphaKnown) {}
    void setAlphaKnown(bool known) { m_alphaKnown = known; }

    // Looks at the picture where it is due: the first, and later ones that lie wholly in their
    // buffer (a side cut off by the buffer's edge shows none) while the region has a new size, the
    // edges have not been agreed on, or the lines beside an edge changed. True when the edges left
    // out changed.
    bool update(const Picture &picture);
    // Left out of every picture, the region's own sides as the origin.
    QMargins margins() const { return m_margins; }

private:
    using Boundary = std::array<uint64_t, 4>;
    QMargins measure(const Picture &picture) const;
    bool mayTell();

    bool m_alphaKnown = false;
    QMargins m_margins;              // left out now
    std::optional<QSize> m_foundFor; // the region's size at the last look
    QMargins m_lastFound;            // the last edges of a picture drawn at its size
    int m_agreed = 0;                // pictures in a row that found them at this region's size, up to 2
    Boundary m_boundary{};           // the lines on either side of each edge at the last look
    static constexpr int kChangesTold = 8; // told at once; then one more a second
    int m_toTell = kChangesTold;           // with `m_toldAt`, bounds the log
    int64_t m_toldAt = 0;
};

} // namespace lumacast::pipewire
