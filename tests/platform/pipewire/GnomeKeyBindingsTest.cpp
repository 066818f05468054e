#include "platform/pipewire/GnomeKeyBindings.h"

#include "store/Shortcut.h"

#include <gtest/gtest.h>

using namespace lumacast;

// Lumacast's bindings against GNOME's settings as `gsettings list-recursively` prints them, by key
// symbol and the exact modifiers; GNOME's modifier aliases are its own.
TEST(GnomeKeyBindings, AKeyIsGnomesWhereItsSettingsBindTheSameKeyAndModifiers)
{
    pipewire::GnomeKeyBindings gnome;
    gnome.addSettings(QStringLiteral(
        "org.gnome.desktop.wm.keybindings switch-input-source-backward ['<Shift><Super>space', '<Shift>XF86Keyboard']\n"
        "org.gnome.desktop.wm.keybindings switch-group ['<Super>Above_Tab', '<Alt>Above_Tab']\n"
        "org.gnome.desktop.wm.keybindings minimize ['<Hyper>h']\n"
        "org.gnome.desktop.wm.keybindings close ['disabled']\n"
        "org.gnome.mutter.keybindings toggle-tiled-left ['<Super>Left']\n"
        "org.gnome.shell.keybindings toggle-message-tray ['<Super>v', '<Super>m']\n"
        "org.gnome.settings-daemon.plugins.media-keys terminal ['<Primary><Alt>t']\n"
        "org.gnome.settings-daemon.plugins.media-keys home @as []\n"
        "org.gnome.settings-daemon.plugins.media-keys volume-step 6\n"));
    using namespace carbon_modifier;
    constexpr quint32 grave = 0x32, h = 0x04, t = 0x11, v = 0x09;
    const struct Case {
        quint32 key, modifiers;
        std::optional<QString> holder;
    } cases[] = {
        {key_code::space, shift | command, QStringLiteral("switch-input-source-backward")},
        {key_code::space, command, std::nullopt},
        {key_code::returnKey, shift | command, std::nullopt},
        {grave, command, QStringLiteral("switch-group")},
        {grave, option, QStringLiteral("switch-group")},
        {key_code::leftArrow, command, QStringLiteral("toggle-tiled-left")},
        {v, command, QStringLiteral("toggle-message-tray")},
        {t, control | option, QStringLiteral("terminal")},
        {h, command, std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(gnome.holder(c.key, c.modifiers), c.holder) << ShortcutBinding::displayString(c.key, c.modifiers).toStdString();
}
