#pragma once

#include <QString>

namespace lumacast {

// The claim of a running program on the scratch folder of the recording it has open: a shared
// lock on the folder, which the kernel drops however the program ends. A launch removes a
// scratch folder left empty and never saved only when no program claims it (a second instance
// on another display may have just made it). Any thread; failures leave the folder unclaimed.
class ScratchClaim {
public:
    explicit ScratchClaim(const QString &folder);
    ~ScratchClaim();
    ScratchClaim(const ScratchClaim &) = delete;
    ScratchClaim &operator=(const ScratchClaim &) = delete;

    // Whether a program holds a claim on the folder (or it cannot be looked at).
    static bool isClaimed(const QString &folder);

private:
    int m_fd = -1;
};

} // namespace lumacast
