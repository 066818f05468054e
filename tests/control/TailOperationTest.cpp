#include "control/TailOperation.h"

#include <gtest/gtest.h>

#include <functional>

namespace lumacast {
namespace {

using Phase = TailOperation::Phase;
using Attempt = TailOperation::Attempt;

const TailFailure transientA{TailFailure::Kind::transient, QStringLiteral("a")};
const TailFailure deterministicA{TailFailure::Kind::deterministic, QStringLiteral("a")};

TailJoinHandoff handoff(double trimEnd)
{
    static const QUuid op = QUuid::createUuid(), attempt = QUuid::createUuid();
    return {op, attempt, QStringLiteral("/s/takes/a.mov"), trimEnd, QStringLiteral("/s/takes/x.tail.mov"),
            QStringLiteral("/s/takes/x.joining.mov")};
}

struct EqualityCase {
    const char *name;
    std::function<bool()> equal;
    bool expected;
};

TEST(TailRecordsTest, EqualityFollowsEveryPayload)
{
    const std::vector<EqualityCase> cases = {
        {"failures differing only in kind", [] { return transientA == deterministicA; }, false},
        {"failures with kind and message alike", [] { return transientA == TailFailure{TailFailure::Kind::transient, "a"}; }, true},
        {"joining without progress vs at 0", [] { return Phase(TailOperation::Joining{}) == Phase(TailOperation::Joining{0.0}); }, false},
        {"joining at the same progress", [] { return Phase(TailOperation::Joining{0.5}) == Phase(TailOperation::Joining{0.5}); }, true},
        {"record again with equal failures", [] { return Attempt(TailOperation::RecordAgain{transientA}) == Attempt(TailOperation::RecordAgain{transientA}); }, true},
        {"record again with other failures", [] { return Attempt(TailOperation::RecordAgain{transientA}) == Attempt(TailOperation::RecordAgain{deterministicA}); }, false},
        {"initial vs initial", [] { return Attempt(TailOperation::Initial{}) == Attempt(TailOperation::Initial{}); }, true},
        {"initial vs record again", [] { return Attempt(TailOperation::Initial{}) == Attempt(TailOperation::RecordAgain{transientA}); }, false},
        {"preparing vs recording of one attempt", [] { return Phase(TailOperation::Preparing{TailOperation::Initial{}}) == Phase(TailOperation::Recording{TailOperation::Initial{}}); }, false},
        {"failed phases of other failures", [] { return Phase(TailOperation::Failed{transientA}) == Phase(TailOperation::Failed{deterministicA}); }, false},
        {"refused vs failed with one text", [] { return TailCaptureStartResult::refused("x") == TailCaptureStartResult::failed("x"); }, false},
        {"started vs cancelled", [] { return TailCaptureStartResult::started() == TailCaptureStartResult::cancelled(); }, false},
        {"refused with the same text", [] { return TailCaptureStartResult::refused("x") == TailCaptureStartResult::refused("x"); }, true},
        {"handoffs differing only in trimEnd", [] { return handoff(4.0) == handoff(4.25); }, false},
        {"equal handoffs", [] { return handoff(4.0) == handoff(4.0); }, true},
        {"finaliser keys of other attempts", [] { const QUuid op = QUuid::createUuid(); return TailFinalizerKey{op, QUuid::createUuid()} == TailFinalizerKey{op, QUuid::createUuid()}; }, false},
    };
    for (const EqualityCase &c : cases)
        EXPECT_EQ(c.equal(), c.expected) << c.name;
}

TEST(TailRecordsTest, FailureIsReadOnlyFromTheFailedPhase)
{
    TailOperation operation;
    EXPECT_FALSE(operation.failure());
    operation.phase = TailOperation::Joining{0.3};
    EXPECT_FALSE(operation.failure());
    operation.phase = TailOperation::Failed{deterministicA};
    EXPECT_EQ(operation.failure(), deterministicA);
    EXPECT_EQ(caseName(PendingExternalAction::quit), "quit");
    EXPECT_EQ(TailFailure::kindName(TailFailure::Kind::deterministic), "deterministic");
}

} // namespace
} // namespace lumacast
