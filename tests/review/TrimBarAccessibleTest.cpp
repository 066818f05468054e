// The trim bar's painted handles as assistive tools (and the end-to-end road) find them.
#include "review/TrimBar.h"
#include "review/TrimBarLogic.h"

#include <QAccessible>
#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

namespace lumacast::review {
namespace {

QAccessibleInterface *childNamed(QAccessibleInterface *parent, const QString &name)
{
    for (int i = 0; i < parent->childCount(); ++i)
        if (QAccessibleInterface *child = parent->child(i); child && child->text(QAccessible::Name) == name)
            return child;
    return nullptr;
}

TEST(TrimBarAccessible, HandlesAreSlidersWhereTheyArePaintedAndGoWithTheBar)
{
    double start = 2, end = 8;
    auto bar = std::make_unique<TrimBar>();
    TrimBar::Inputs inputs;
    inputs.duration = 10;
    inputs.trimStart = {[&] { return start; }, [&](double v) { start = v; }};
    inputs.trimEnd = {[&] { return end; }, [&](double v) { end = v; }};
    bar->setInputs(inputs);
    bar->resize(600, bar->sizeHint().height());
    bar->show();
    QApplication::processEvents();

    QAccessibleInterface *barInterface = QAccessible::queryAccessibleInterface(bar.get());
    ASSERT_TRUE(barInterface);
    EXPECT_EQ(barInterface->text(QAccessible::Name), QStringLiteral("Trim"));
    EXPECT_TRUE(childNamed(barInterface, QStringLiteral("Play"))) << "the play button keeps its place";

    struct Case {
        TrimHandle handle;
        QString name;
    };
    QList<QAccessible::Id> ids;
    for (const Case &c : {Case{TrimHandle::start, QStringLiteral("Trim start")}, Case{TrimHandle::end, QStringLiteral("Trim end")}}) {
        SCOPED_TRACE(c.name.toStdString());
        QAccessibleInterface *handle = childNamed(barInterface, c.name);
        ASSERT_TRUE(handle);
        ids << QAccessible::uniqueId(handle);
        EXPECT_EQ(handle->role(), QAccessible::Slider);
        EXPECT_EQ(handle->parent(), barInterface);
        EXPECT_EQ(barInterface->child(barInterface->indexOfChild(handle)), handle);
        EXPECT_FALSE(handle->state().invisible);
        const QRect painted = bar->handleRect(c.handle);
        EXPECT_EQ(handle->rect(), QRect(bar->mapToGlobal(painted.topLeft()), painted.size()));
        EXPECT_EQ(handle->text(QAccessible::Value), formatTime(bar->handleTime(c.handle)));
        EXPECT_EQ(barInterface->childAt(handle->rect().center().x(), handle->rect().center().y()), handle);
    }

    // A trim change moves the handle the tools see; where the handles meet, the end one is on
    // top, as for the mouse.
    QAccessibleInterface *endHandle = childNamed(barInterface, QStringLiteral("Trim end"));
    const QRect before = endHandle->rect();
    end = 2;
    bar->setInputs(inputs);
    EXPECT_LT(endHandle->rect().center().x(), before.center().x());
    EXPECT_EQ(endHandle->text(QAccessible::Value), formatTime(2));
    const QPoint meeting = endHandle->rect().center();
    EXPECT_EQ(barInterface->childAt(meeting.x(), meeting.y()), endHandle);

    bar.reset();
    for (const QAccessible::Id id : ids)
        EXPECT_EQ(QAccessible::accessibleInterface(id), nullptr) << "a handle outlived its bar";
}

} // namespace
} // namespace lumacast::review
