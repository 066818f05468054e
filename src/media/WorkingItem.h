#pragma once

#include "store/InFlightItem.h"

#include <QString>

#include <memory>

namespace lumacast {

// A file or folder an export or join builds beside its destination and puts in place only when
// it is whole: a failure, a cancel or a kill never touches what stood at the destination before.
//
// The name, ".lumacast-work-<pid>-<uuid><suffix>" in the destination's folder, says which process
// made it, so that the next export into that folder removes what a killed one left
// (`removeStale`); it is also listed in the in-flight journal, so that the next launch removes it
// wherever it is. Every live item is also listed process-wide so that a program ending without
// waiting for the thread that builds it can remove them (`removeAllNow`).
//
// Threads: an item is used by one thread at a time; the static functions may be called from any
// thread. Failure: `commit` throws FileSystemError and leaves the destination as it was.
class WorkingItem {
public:
    // Names a new item beside `destination`; nothing is created on disk.
    explicit WorkingItem(const QString &destination, const QString &suffix = QString());
    // Removes the item (file or folder, links not followed) unless it was committed.
    ~WorkingItem();
    WorkingItem(const WorkingItem &) = delete;
    WorkingItem &operator=(const WorkingItem &) = delete;

    const QString &path() const { return m_path; }
    const QString &destination() const { return m_destination; }

    // Puts the item at the destination in one step, on the disk (its bytes first, then its name:
    // slow for a large item, so not on the main thread). An earlier item there (file or folder)
    // is exchanged out and removed afterwards.
    void commit();

    // Removes the working items in `folder` whose process no longer runs. Failures are ignored.
    static void removeStale(const QString &folder);
    // Removes every working item and export scratch folder (`ScratchFolder`) of this process now,
    // for a program about to exit while an export or join may still run on its detached thread
    // (on a signal, or leaving as the user quit during an export). Returns at once when there is
    // none; otherwise sweeps for a few hundred milliseconds, as that thread may still be writing.
    static void removeAllNow();

    static constexpr const char *kPrefix = ".lumacast-work-";

private:
    QString m_destination;
    QString m_path;
    bool m_committed = false;
    std::unique_ptr<InFlightItem> m_listed;
};

} // namespace lumacast
