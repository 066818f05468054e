#pragma once

#include <QSet>
#include <QString>

namespace lumacast {

// The names of the take movies in a recording's "takes" that Lumacast itself made or named and
// that no manifest on the disk may name any more: a take deleted while the undo history still
// holds it, a scene's copies before the manifest names them, a tail's working movies. Kept as
// ".lumacast-ledger" in the recording's folder, one name a line, and brought to the disk before
// the file is made or the manifest that stops naming it is written, so that after a kill the
// clean-up tells Lumacast's own leftovers from movies a user or a sync tool put there: only a
// name listed here is ever deleted as unnamed. Any thread (one writer at a time per process).
class TakeLedger {
public:
    static constexpr const char *kFileName = ".lumacast-ledger";

    // The names listed; none when the ledger is missing, not a regular file of the folder or
    // larger than a ledger can be.
    static QSet<QString> read(const QString &folder);

    // Lists `add` and drops `drop` in one write (only when that changes anything), on the disk
    // before it returns. False, logged, when the ledger could not be written.
    static bool update(const QString &folder, const QSet<QString> &add, const QSet<QString> &drop);
};

} // namespace lumacast
