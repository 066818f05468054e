// Key positions and key names from the X server's keyboard map.
#include "platform/x11/KeyNames.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <map>
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

namespace {

// The layouts and variants of xkeyboard-config's list beside its "evdev" rules, as
// {layout, variant} ("" for a layout's own keys).
std::vector<std::pair<QString, QString>> shippedLayouts()
{
    QFile list(QStringLiteral("/usr/share/X11/xkb/rules/evdev.lst"));
    if (!list.open(QIODevice::ReadOnly))
        return {};
    std::vector<std::pair<QString, QString>> layouts;
    QString section;
    static const QRegularExpression entry(QStringLiteral("^\\s+(\\S+)\\s+(\\S+?):"));
    for (const QByteArray &line : list.readAll().split('\n')) {
        const QString text = QString::fromUtf8(line);
        if (text.startsWith(QLatin1Char('!'))) {
            section = text.mid(1).trimmed();
            continue;
        }
        // "custom" is the place of a user's own layout file, which nothing ships.
        const QString layout = text.trimmed().section(QLatin1Char(' '), 0, 0);
        if (section == QLatin1String("layout") && !layout.isEmpty() && layout != QLatin1String("custom"))
            layouts.emplace_back(layout, QString());
        const QRegularExpressionMatch variant = entry.match(text);
        if (section == QLatin1String("variant") && variant.hasMatch())
            layouts.emplace_back(variant.captured(2), variant.captured(1));
    }
    return layouts;
}

} // namespace

// Every layout and variant the system ships, on an ISO, a Japanese and a Brazilian keyboard:
// each key a shortcut can hold has a name of its own.
TEST(KeyNamesOfEveryLayout, NoTwoKeysShareAName)
{
    const auto layouts = shippedLayouts();
    ASSERT_GT(layouts.size(), 400u) << "xkeyboard-config's evdev.lst was not read";
    const auto previous = ShortcutBinding::keyboardLayout();
    const std::shared_ptr<void> restore(nullptr, [&](void *) { ShortcutBinding::setKeyboardLayout(previous); });
    int compiled = 0;
    for (const char *model : {"pc105", "jp106", "abnt2"}) {
        for (const auto &[layout, variant] : layouts) {
            const auto keymap = x11::XkbKeyboardLayout::compile(QString::fromLatin1(model), layout, variant);
            if (!keymap) {
                ADD_FAILURE() << model << " " << qPrintable(layout) << "(" << qPrintable(variant) << ") makes no keymap";
                continue;
            }
            ++compiled;
            ShortcutBinding::setKeyboardLayout(keymap);
            std::map<QString, quint32> named;
            for (const auto &[code, name] : ShortcutBinding::keyNames()) {
                // The modifier keys never make a shortcut.
                if (code >= 0x36 && code <= 0x3F)
                    continue;
                const auto [other, fresh] = named.emplace(name, code);
                EXPECT_TRUE(fresh) << model << " " << qPrintable(layout) << "(" << qPrintable(variant)
                                   << "): " << qPrintable(name) << " names " << code << " and " << other->second;
            }
        }
    }
    EXPECT_EQ(compiled, int(3 * layouts.size()));
}
