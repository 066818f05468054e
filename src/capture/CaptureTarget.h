#pragma once

#include <QRectF>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace lumacast {

// What a picked content filter stands for.
enum class ContentStyle { None, Window, Display, Application };

// What a recording stream captures: one picked window (the picker's result), or a display with
// some applications' windows left out (built by the screen recorder). Shared, never changed
// after it is made, so that every copy of a target refers to the same filter.
struct ContentFilter {
    ContentStyle style = ContentStyle::Window;
    std::vector<uint32_t> includedWindows; // Window: the picked window first
    QRectF contentRect;                   // global coordinates, origin top-left, when made
    double pointPixelScale = 1.0;         // X11 coordinates are pixels already
    std::optional<uint32_t> displayID;    // Display: the display captured
    std::vector<uint32_t> excludedApplications; // Display: process ids whose windows are left out
    std::vector<uint32_t> exceptingWindows;     // Display: kept although their application is left out

    std::optional<uint32_t> windowID() const
    {
        if (includedWindows.empty())
            return std::nullopt;
        return includedWindows.front();
    }

    static std::shared_ptr<const ContentFilter> forWindow(uint32_t window, const QRectF &frame);
    static std::shared_ptr<const ContentFilter> forDisplay(uint32_t display, const QRectF &frame,
                                                           std::vector<uint32_t> excludingApplications,
                                                           std::vector<uint32_t> exceptingWindows);
};

using ContentFilterRef = std::shared_ptr<const ContentFilter>;

// What a take records: the whole screen (the selected display, with this application's windows
// left out except the webcam overlay) or one picked window.
class CaptureTarget {
public:
    enum class Kind { Custom, WholeScreen };

    CaptureTarget() = default; // whole screen
    static CaptureTarget wholeScreen() { return CaptureTarget(); }
    static CaptureTarget custom(ContentFilterRef filter, ContentStyle style);

    Kind kind() const { return m_filter ? Kind::Custom : Kind::WholeScreen; }
    bool isWholeScreen() const { return !m_filter; }
    // A custom target whose filter is of the window style.
    bool isWindow() const { return m_filter && m_style == ContentStyle::Window; }
    const ContentFilterRef &filter() const { return m_filter; }
    ContentStyle style() const { return m_style; }

    bool operator==(const CaptureTarget &other) const
    {
        return m_filter == other.m_filter && m_style == other.m_style;
    }

private:
    ContentFilterRef m_filter;
    ContentStyle m_style = ContentStyle::None;
};

} // namespace lumacast
