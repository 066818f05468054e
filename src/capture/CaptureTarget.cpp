#include "capture/CaptureTarget.h"

namespace lumacast {

std::shared_ptr<const ContentFilter> ContentFilter::forWindow(uint32_t window, const QRectF &frame)
{
    auto filter = std::make_shared<ContentFilter>();
    filter->style = ContentStyle::Window;
    filter->includedWindows = {window};
    filter->contentRect = frame;
    return filter;
}

std::shared_ptr<const ContentFilter> ContentFilter::forDisplay(uint32_t display, const QRectF &frame,
                                                              std::vector<uint32_t> excludingApplications,
                                                              std::vector<uint32_t> exceptingWindows)
{
    auto filter = std::make_shared<ContentFilter>();
    filter->style = ContentStyle::Display;
    filter->displayID = display;
    filter->contentRect = frame;
    filter->excludedApplications = std::move(excludingApplications);
    filter->exceptingWindows = std::move(exceptingWindows);
    return filter;
}

CaptureTarget CaptureTarget::custom(ContentFilterRef filter, ContentStyle style)
{
    CaptureTarget target;
    if (!filter)
        return target; // nothing picked is no custom target
    target.m_filter = std::move(filter);
    target.m_style = style;
    return target;
}

} // namespace lumacast
