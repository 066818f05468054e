#include "platform/pipewire/GnomeKeyBindings.h"

#include "model/LogCategories.h"
#include "store/Shortcut.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <xkbcommon/xkbcommon.h>

namespace lumacast::pipewire {

namespace {

// The key left of 1, whatever it types: mutter's name for it, and its (positional) key code.
const QString kAboveTab = QStringLiteral("Above_Tab");
constexpr quint32 kAboveTabKeyCode = 0x32;

// Enough for every key binding of a schema many times over.
constexpr qint64 kListingBound = 1 << 20;

bool isGnomeSession()
{
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'));
    return std::any_of(desktops.begin(), desktops.end(),
                       [](const QString &desktop) { return desktop.compare(QLatin1String("GNOME"), Qt::CaseInsensitive) == 0; });
}

// The X key symbol of Lumacast's key in the current layout: the one the keymap names, else,
// without a keymap to ask, the one of the character the key types; 0 for neither.
quint32 symbolOfKey(quint32 keyCode)
{
    if (const std::optional<QString> name = ShortcutBinding::keySymbolName(keyCode)) {
        const xkb_keysym_t symbol = xkb_keysym_from_name(name->toUtf8().constData(), XKB_KEYSYM_NO_FLAGS);
        if (symbol != XKB_KEY_NoSymbol)
            return symbol;
    }
    const QList<uint> typed = ShortcutBinding::keyboardLayout()->characterForKeyCode(keyCode).value_or(QString()).toUcs4();
    return typed.size() == 1 ? xkb_utf32_to_keysym(typed.front()) : XKB_KEY_NoSymbol;
}

} // namespace

const QStringList &GnomeKeyBindings::schemas()
{
    static const QStringList names{QStringLiteral("org.gnome.desktop.wm.keybindings"),
                                   QStringLiteral("org.gnome.mutter.keybindings"),
                                   QStringLiteral("org.gnome.mutter.wayland.keybindings"),
                                   QStringLiteral("org.gnome.shell.keybindings"),
                                   QStringLiteral("org.gnome.settings-daemon.plugins.media-keys")};
    return names;
}

GnomeKeyBindings GnomeKeyBindings::read(int timeoutMs)
{
    GnomeKeyBindings bindings;
    if (!isGnomeSession())
        return bindings;
    const QString program = QStandardPaths::findExecutable(QStringLiteral("gsettings"));
    if (program.isEmpty()) {
        qCWarning(log::shortcuts(), "no gsettings program: GNOME's own key bindings are not known");
        return bindings;
    }
    QElapsedTimer clock;
    clock.start();
    for (const QString &schema : schemas()) {
        QProcess gsettings;
        gsettings.setProcessChannelMode(QProcess::SeparateChannels);
        gsettings.start(program, {QStringLiteral("list-recursively"), schema});
        const int left = int(std::max<qint64>(0, timeoutMs - clock.elapsed()));
        if (!gsettings.waitForFinished(left)) {
            gsettings.kill();
            gsettings.waitForFinished(500);
            qCWarning(log::shortcuts(), "gsettings did not list %s within %d ms: GNOME's own key bindings are known in part",
                      qUtf8Printable(schema), timeoutMs);
            break;
        }
        // A schema this GNOME does not have (mutter's Wayland keys under X11) lists nothing.
        if (gsettings.exitStatus() == QProcess::NormalExit && gsettings.exitCode() == 0)
            bindings.addSettings(QString::fromUtf8(gsettings.read(kListingBound)));
    }
    qCInfo(log::shortcuts(), "GNOME binds %ld keys of its own", long(bindings.m_bindings.size()));
    return bindings;
}

void GnomeKeyBindings::addSettings(const QString &listing)
{
    // A value is a string or a list of strings in GVariant's text form: ['<Super>a', 'b'], @as [].
    static const QRegularExpression quoted(QStringLiteral("'((?:[^'\\\\]|\\\\.)*)'"));
    for (const QString &line : listing.split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() < 3)
            continue;
        const QString value = line.section(QLatin1Char(' '), 2);
        for (auto it = quoted.globalMatch(value); it.hasNext();) {
            if (auto binding = parseAccelerator(it.next().captured(1))) {
                binding->setting = fields[1];
                m_bindings.push_back(std::move(*binding));
            }
        }
    }
}

std::optional<GnomeKeyBindings::Binding> GnomeKeyBindings::parseAccelerator(const QString &accelerator)
{
    static const std::pair<const char *, quint32> modifiers[] = {
        {"shift", carbon_modifier::shift},   {"control", carbon_modifier::control}, {"ctrl", carbon_modifier::control},
        {"ctl", carbon_modifier::control},   {"primary", carbon_modifier::control}, {"alt", carbon_modifier::option},
        {"mod1", carbon_modifier::option},   {"super", carbon_modifier::command},   {"mod4", carbon_modifier::command},
    };
    Binding binding;
    QString rest = accelerator.trimmed();
    while (rest.startsWith(QLatin1Char('<'))) {
        const qsizetype end = rest.indexOf(QLatin1Char('>'));
        if (end < 0)
            return std::nullopt;
        const QString name = rest.mid(1, end - 1).toLower();
        const auto found = std::find_if(std::begin(modifiers), std::end(modifiers),
                                        [&name](const auto &modifier) { return name == QLatin1String(modifier.first); });
        if (found == std::end(modifiers))
            return std::nullopt;
        binding.carbonModifiers |= found->second;
        rest = rest.mid(end + 1);
    }
    if (rest.isEmpty() || rest == QLatin1String("disabled"))
        return std::nullopt;
    binding.keyName = rest;
    if (rest == kAboveTab)
        return binding;
    // As GNOME reads its settings: "<Super>A" is the a key.
    binding.keySymbol = xkb_keysym_from_name(rest.toUtf8().constData(), XKB_KEYSYM_CASE_INSENSITIVE);
    if (binding.keySymbol == XKB_KEY_NoSymbol)
        return std::nullopt;
    return binding;
}

std::optional<QString> GnomeKeyBindings::holder(quint32 keyCode, quint32 carbonModifiers) const
{
    if (m_bindings.empty())
        return std::nullopt;
    const quint32 symbol = symbolOfKey(keyCode);
    for (const Binding &binding : m_bindings) {
        if (binding.carbonModifiers != (carbonModifiers & carbon_modifier::all))
            continue;
        const bool sameKey = binding.keyName == kAboveTab ? keyCode == kAboveTabKeyCode
                                                          : symbol != XKB_KEY_NoSymbol && binding.keySymbol == symbol;
        if (sameKey)
            return binding.setting;
    }
    return std::nullopt;
}

QString GnomeKeyBindings::keptKeysNote(const QStringList &lines)
{
    if (lines.isEmpty())
        return {};
    return QStringLiteral("The desktop keeps these keys for its own shortcuts and takes their presses before any "
                          "program: they do nothing in Lumacast. Give the actions other keys in Lumacast's Settings, or "
                          "free the keys in the desktop's keyboard shortcut settings:\n")
        + lines.join(QLatin1Char('\n'));
}

} // namespace lumacast::pipewire
