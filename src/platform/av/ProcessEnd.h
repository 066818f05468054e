#pragma once

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define LUMACAST_LEAK_CHECK_AT_END 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMACAST_LEAK_CHECK_AT_END 1
#endif
#endif
#ifdef LUMACAST_LEAK_CHECK_AT_END
#include <sanitizer/lsan_interface.h>
#endif

namespace lumacast {

// How a program that has used Qt Multimedia ends, once its own objects are gone (the
// application object included): called with what main would return, on the main thread.
//
// Qt Multimedia before 6.8 disconnects from PulseAudio in a static destructor without holding its
// event thread's lock, so that thread may be scanning the same events meanwhile and libpulse then
// aborts the process ("io_events_please_scan == 0"), after the recording was saved and the
// window closed. With those versions the process ends without running the libraries' static
// destructors: nothing of ours relies on them (the log writes through, the preferences sync on
// each change) and the kernel closes the sound server's socket. A sanitizer build checks for
// leaks first, as a normal exit would.
class ProcessEnd {
public:
    [[noreturn]] static void leave(int code)
    {
#if QT_VERSION < QT_VERSION_CHECK(6, 8, 0)
        std::fflush(nullptr);
#ifdef LUMACAST_LEAK_CHECK_AT_END
        __lsan_do_leak_check();
#endif
        std::_Exit(code);
#else
        std::exit(code);
#endif
    }
};

} // namespace lumacast
