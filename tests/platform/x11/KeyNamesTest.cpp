// Key positions and key names from the X server's keyboard map.
#include "platform/x11/KeyNames.h"

#include <gtest/gtest.h>

#include <set>

using namespace lumacast;

TEST(KeyPositions, EveryCodeHasOnePositionAndBack)
{
    std::set<QString> names;
    int mapped = 0;
    for (quint32 code = 0; code < 0x100; ++code) {
        const QString name = x11::xkbKeyNameForKeyCode(code);
        if (name.isEmpty())
            continue;
        ++mapped;
        EXPECT_TRUE(names.insert(name).second) << qPrintable(name) << " twice";
        EXPECT_EQ(x11::keyCodeForXkbKeyName(name), code) << qPrintable(name);
    }
    EXPECT_GT(mapped, 100);
    EXPECT_EQ(x11::xkbKeyNameForKeyCode(0x00), QStringLiteral("AC01"));
    EXPECT_EQ(x11::xkbKeyNameForKeyCode(49), QStringLiteral("SPCE"));
    EXPECT_EQ(x11::xkbKeyNameForKeyCode(36), QStringLiteral("RTRN"));
    EXPECT_TRUE(x11::xkbKeyNameForKeyCode(0x3F).isEmpty()); // the Fn key has no X counterpart
    EXPECT_FALSE(x11::keyCodeForXkbKeyName(QStringLiteral("NOPE")));
}

TEST(KeyNamesFromServer, TheServersLayoutNamesTheKeys)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "no X display";
    const auto layout = x11::XkbKeyboardLayout::connect();
    ASSERT_TRUE(layout);
    // The rig's server runs a US layout.
    EXPECT_EQ(layout->characterForKeyCode(0x00), QStringLiteral("a"));
    EXPECT_EQ(layout->characterForKeyCode(0x2B), QStringLiteral(","));
    EXPECT_EQ(layout->characterForKeyCode(0x7A), QString()); // F1 types nothing
    EXPECT_EQ(layout->characterForKeyCode(0x3F), QString()); // no such key
    // The keypad as with Num Lock on, whatever the lock's state.
    EXPECT_EQ(layout->characterForKeyCode(0x53), QStringLiteral("1"));
    EXPECT_EQ(layout->keySymbolName(0x53), QStringLiteral("KP_1"));

    const auto previous = ShortcutBinding::keyboardLayout();
    ShortcutBinding::setKeyboardLayout(layout);
    EXPECT_EQ(ShortcutBinding::displayString(45, 0x300), QStringLiteral("Shift+Super+N"));
    EXPECT_EQ(ShortcutBinding::keyName(0x27), QStringLiteral("'"));
    EXPECT_EQ(ShortcutBinding::keyName(0x53), QStringLiteral("KP 1"));
    // Keys that type nothing go by the names the keymap gives their symbols.
    for (const auto &[code, shown] : {std::pair<quint32, const char *>{0x60, "Shift+Ctrl+F5"}, {0x74, "Shift+Ctrl+Page Up"},
                                      {0x4C, "Shift+Ctrl+KP Enter"}, {key_code::printScreen, "Shift+Ctrl+Print"}})
        EXPECT_EQ(ShortcutBinding::displayString(code, 0x1200), QString::fromLatin1(shown));
    EXPECT_EQ(ShortcutBinding::keySymbolName(0x2B), QStringLiteral("comma"));
    ShortcutBinding::setKeyboardLayout(previous);

    // Every position the server's keymap has maps to a keycode and back.
    int found = 0;
    for (quint32 code = 0; code < 0x100; ++code) {
        const std::optional<quint32> keycode = layout->x11KeycodeForKeyCode(code);
        if (!keycode)
            continue;
        ++found;
        EXPECT_EQ(layout->keyCodeForX11Keycode(*keycode), code) << code;
    }
    EXPECT_GT(found, 90);
    EXPECT_FALSE(layout->keyCodeForX11Keycode(0));
}

TEST(KeyNamesFromServer, NoServerNoLayout)
{
    EXPECT_FALSE(x11::XkbKeyboardLayout::connect(QStringLiteral(":65000")));
}
