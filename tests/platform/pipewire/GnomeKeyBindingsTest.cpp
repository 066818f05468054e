#include "platform/pipewire/GnomeKeyBindings.h"

#include "platform/x11/KeyNames.h"
#include "store/Shortcut.h"

#include <QFile>
#include <QRegularExpression>

#include <xkbcommon/xkbcommon.h>

#include <gtest/gtest.h>

using namespace lumacast;

// Lumacast's bindings against GNOME's settings as `gsettings list-recursively` prints them, by key
// symbol and the exact modifiers, whatever names either side gives the key; GNOME's modifier
// aliases are its own.
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
        "org.gnome.settings-daemon.plugins.media-keys volume-step 6\n"
        "org.gnome.desktop.wm.keybindings move-to-workspace-left ['<Super><Shift>Page_Up']\n"
        "org.gnome.desktop.wm.keybindings switch-to-workspace-right ['<Super>Next', '<Super>NoSuchKey']\n"
        "org.gnome.shell.keybindings screenshot ['<Shift>SunPrint_Screen']\n"
        "org.gnome.shell.keybindings show-screen-recording-ui ['<Ctrl><Shift><Alt>R']\n"));
    using namespace carbon_modifier;
    constexpr quint32 grave = 0x32, h = 0x04, r = 0x0F, t = 0x11, v = 0x09, pageUp = 0x74, pageDown = 0x79;
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
        {pageUp, shift | command, QStringLiteral("move-to-workspace-left")},
        {pageDown, command, QStringLiteral("switch-to-workspace-right")},
        {pageDown, shift | command, std::nullopt},
        {key_code::printScreen, shift, QStringLiteral("screenshot")},
        {r, shift | control | option, QStringLiteral("show-screen-recording-ui")},
    };
    for (const Case &c : cases)
        EXPECT_EQ(gnome.holder(c.key, c.modifiers), c.holder) << ShortcutBinding::displayString(c.key, c.modifiers).toStdString();
}

// Every default accelerator of the five schemas in Debian 12's and Debian 13's GNOME (the lines of
// `gsettings list-recursively` that hold one, from the packages' schemas and overrides) is read
// and found on each key whose symbol X's US keymap gives it, with its modifiers. A key Lumacast
// has no code for, as many media keys, can be none of its bindings.
TEST(GnomeKeyBindings, EveryDefaultAcceleratorOfGnomeIsFoundOnTheKeyXGivesIt)
{
    const auto layout = x11::XkbKeyboardLayout::compile(QStringLiteral("pc105"), QStringLiteral("us"), QString());
    ASSERT_TRUE(layout);
    const auto previous = ShortcutBinding::keyboardLayout();
    ShortcutBinding::setKeyboardLayout(layout);
    const auto codesOf = [&](quint32 symbol) {
        std::vector<quint32> codes;
        for (quint32 code = 0; code < 0x100; ++code) {
            const QString name = layout->keySymbolName(code).value_or(QString());
            if (!name.isEmpty() && xkb_keysym_from_name(name.toUtf8().constData(), XKB_KEYSYM_NO_FLAGS) == symbol)
                codes.push_back(code);
        }
        return codes;
    };
    for (const char *release : {"debian12", "debian13"}) {
        QFile file(QStringLiteral(LUMACAST_SOURCE_DIR "/tests/platform/pipewire/gnome-keys/%1.txt").arg(release));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << release;
        const QString listing = QString::fromUtf8(file.readAll());
        pipewire::GnomeKeyBindings gnome;
        gnome.addSettings(listing);
        size_t accelerators = 0;
        for (auto it = QRegularExpression(QStringLiteral("'[^']+'")).globalMatch(listing); it.hasNext(); it.next())
            ++accelerators;
        EXPECT_EQ(gnome.bindings().size(), accelerators) << release;
        for (const auto &binding : gnome.bindings()) {
            const std::string what = std::string(release) + " " + binding.keyName.toStdString();
            const std::vector<quint32> codes =
                binding.keyName == QLatin1String("Above_Tab") ? std::vector<quint32>{0x32} : codesOf(binding.keySymbol);
            EXPECT_TRUE(!codes.empty() || binding.keyName.startsWith(QLatin1String("XF86"))) << what;
            for (const quint32 code : codes)
                EXPECT_EQ(gnome.holder(code, binding.carbonModifiers), binding.setting) << what;
        }
    }
    ShortcutBinding::setKeyboardLayout(previous);
}
