#pragma once

#include "store/InFlightItem.h"

#include <QString>

#include <atomic>
#include <memory>

namespace lumacast {

// The folder where the movie export keeps the takes it re-encodes: "LumacastExport-<uuid>" in the
// temporary folder, made (for its owner only) by the constructor and removed with its contents
// by the destructor, which the export reaches however it ends while its thread runs on. The
// program does not always let it run on: Quit leaves while the detached export thread still
// works, and a kill or a crash skips every destructor. So while the folder exists it is also
// listed in the in-flight journal, whose next launch removes it once no live process holds its
// entry, and process-wide, for `WorkingItem::removeAllNow` as the program ends.
//
// Threads: an object is used by one thread at a time; the static functions may be called from
// any thread. Failure: the constructor throws FileSystemError when the folder cannot be made.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    const QString &path() const { return m_path; }
    // Set once `removeAllLive` has removed the folder from under its export: the work writing into
    // it stops on it (a render's cancel flag) rather than run on while the program ends.
    const std::atomic<bool> &removedUnderfoot() const { return m_removedUnderfoot; }

    // Whether a scratch folder of this process exists (or is being made).
    static bool anyLive();
    // Removes every scratch folder of this process now, in one pass, and tells their exports so;
    // their objects remain and find nothing left to remove.
    static void removeAllLive();

    static constexpr const char *kPrefix = "LumacastExport-";

private:
    QString m_path;
    std::unique_ptr<InFlightItem> m_listed;
    std::atomic<bool> m_removedUnderfoot{false};
};

} // namespace lumacast
