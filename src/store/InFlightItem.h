#pragma once

#include <QString>

namespace lumacast {

// A hidden item the program builds beside a user's file and renames into place when whole (a
// Save As package being assembled, an export's working movie), or the movie export's scratch
// folder in the temporary folder. A kill leaves it behind, and only this program knows it is
// litter; so while it exists it is listed in a journal in the user's cache folder
// ("Lumacast/InFlight"), one small file per item that holds its path and carries a lock of its
// writer. The kernel drops the lock when the writer dies, however it dies: the next
// launch removes exactly the items whose lock nobody holds (`removeAbandoned`), never one a live
// process is still writing, even one whose pid was since reused.
//
// Threads: an item is used by one thread at a time; `removeAbandoned` may run on any thread.
// Failures to keep the journal are logged and never stop the work itself.
class InFlightItem {
public:
    // Lists `path` (which need not exist yet) in the journal.
    explicit InFlightItem(const QString &path);
    // Takes it off the journal; the item itself is the caller's to remove or rename.
    ~InFlightItem();
    InFlightItem(const InFlightItem &) = delete;
    InFlightItem &operator=(const InFlightItem &) = delete;

    // Removes the listed items of writers that are gone (files, or folders with their contents;
    // links are removed, never followed) and their journal entries. Only items whose name marks
    // them as the program's working items are touched, and of scratch folders only real folders
    // of this user (never a link). Returns how many were removed.
    static int removeAbandoned();
    // Removes a file, or a folder with its contents; a link is removed, never followed. Nothing
    // there is not a failure.
    static void removeItem(const QString &path);
    // The journal's folder.
    static QString journalFolder();
    // Whether a file name is one of the program's working items (scratch folders included).
    static bool isWorkingItemName(const QString &name);
    // A fresh name for a Save As package being assembled beside `packageName`:
    // ".<packageName>.saving-<uuid>", the package's name shortened so that the whole stays
    // within the file system's limit for a name it can itself be given.
    static QString savingName(const QString &packageName);
    // A fresh name for the item `name` while a replace without exchange moves it aside:
    // ".<name>.replaced-<uuid>".
    static QString replacedName(const QString &name);

private:
    QString m_entry; // the journal file; empty when it could not be made
    int m_fd = -1;
};

} // namespace lumacast
