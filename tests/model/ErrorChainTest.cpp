// The error family's one-line chain, read through Error's virtual accessors alone.
#include "model/Error.h"

#include <gtest/gtest.h>

#include <memory>

using namespace lumacast;

namespace {

// An error that computes its fields and owns a cause, as a layer's own error class may.
class WrappingError : public Error {
public:
    explicit WrappingError(std::shared_ptr<const Error> cause) : Error(QStringLiteral("unused")), m_cause(std::move(cause)) {}
    QString domain() const override { return QStringLiteral("Outer"); }
    int code() const override { return -7; }
    QString description() const override { return QStringLiteral("Wrapped"); }
    std::optional<QString> failureReason() const override { return QStringLiteral("why"); }
    const Error *underlyingError() const override { return m_cause.get(); }

private:
    std::shared_ptr<const Error> m_cause;
};

TEST(ErrorChain, EveryErrorIsDescribedThroughItsVirtualAccessors)
{
    const QString arrow = QStringLiteral(" \u27F5 ");
    EXPECT_EQ(describeErrorChain(Error(QStringLiteral("Plain"))), QStringLiteral("Lumacast 0: Plain"));

    const auto files = std::make_shared<const FileSystemError>(QStringLiteral("Copy"), QStringLiteral("/a"), 28,
                                                               QStringLiteral("No space left on device"));
    const WrappingError outer(files);
    const Error &asBase = outer;
    EXPECT_EQ(describeErrorChain(asBase), QStringLiteral("Outer -7: Wrapped \u2014 why") + arrow
                                              + QStringLiteral("POSIX 28: Copy \"/a\" failed: No space left on device"));

    // Six deep: five parts, outermost first.
    std::shared_ptr<const Error> chain = std::make_shared<const Error>(QStringLiteral("innermost"));
    for (int i = 0; i < 5; ++i)
        chain = std::make_shared<const WrappingError>(chain);
    const QString five = describeErrorChain(*chain);
    EXPECT_EQ(five.count(arrow), 4);
    EXPECT_FALSE(five.contains(QStringLiteral("innermost")));
}

} // namespace
