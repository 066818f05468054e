#pragma once

namespace lumacast::review {

// A trim handle of the trim bar. An optional TrimHandle names the handle selected for keyboard
// trimming (kept by the review window) or the one being dragged.
enum class TrimHandle { start, end };

} // namespace lumacast::review
