#include "capture/DisplayOption.h"

#include <gtest/gtest.h>

using namespace lumacast;

// XWayland calls every output "XWAYLAND<n>": the menus and the status panel name each display as
// the desktop does, found by its place; an X server's own names stay.
TEST(DisplayOptionTest, XWaylandDisplaysAreNamedAfterTheDesktopsOutputs)
{
    const auto display = [](const char *name, int x) { return x11::DisplayInfo{1, name, QRect(x, 0, 1920, 1080), x == 0}; };
    const auto output = [](const char *name, const char *model, int x) {
        return wayland::OutputInfo{name, QString(), QStringLiteral("Maker"), model, QPoint(x, 0), QSize(1920, 1080)};
    };
    struct Row {
        const char *name;
        std::vector<x11::DisplayInfo> displays;
        std::vector<wayland::OutputInfo> outputs;
        QStringList expected;
    };
    const Row rows[] = {
        {"one output, no model", {display("XWAYLAND0", 0)}, {output("HEADLESS-1", "headless", 5)}, {"HEADLESS-1"}},
        {"two outputs by place",
         {display("XWAYLAND0", 1920), display("XWAYLAND1", 0)},
         {output("DP-1", "U2720Q", 0), output("HDMI-A-1", "Unknown", 1920)},
         {"HDMI-A-1", "U2720Q (DP-1)"}},
        {"an X server's own names", {display("DP-1", 0)}, {output("eDP-1", "", 0)}, {"DP-1"}},
        {"no compositor to ask", {display("XWAYLAND0", 0)}, {}, {"XWAYLAND0"}},
        {"an output elsewhere", {display("XWAYLAND0", 0), display("XWAYLAND1", 1920)}, {output("DP-2", "", 4000)},
         {"XWAYLAND0", "XWAYLAND1"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QStringList names;
        for (const DisplayOption &option : DisplayOption::named(row.displays, row.outputs)) {
            names << option.name;
            EXPECT_EQ(option.width, 1920);
        }
        EXPECT_EQ(names, row.expected);
    }
}
