#pragma once

// The keys GNOME binds for itself, which its compositor takes before any program sees them (not
// XWayland's grabs, and not a portal's shortcut either): its window manager's and mutter's, the
// shell's and the media keys', as its settings schemas hold them. They are read with the
// `gsettings` program, in a GNOME session only (XDG_CURRENT_DESKTOP names GNOME).
//
// Main thread or any other: an instance is a plain value once read.

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace lumacast::pipewire {

class GnomeKeyBindings {
public:
    // One accelerator of one of GNOME's settings: "<Shift><Super>space" is the key symbol
    // "space" with Shift and Super (carbon modifier bits).
    struct Binding {
        QString setting; // its key in the schema, GNOME's name for the action ("switch-input-source-backward")
        QString keyName; // as the setting writes it: "Page_Up", mutter's "Above_Tab"
        // The X key symbol's value, which every name of it shares ("Page_Up" and "Prior" are
        // 0xff55); 0 for "Above_Tab", which is a place, not a symbol.
        quint32 keySymbol = 0;
        quint32 carbonModifiers = 0;
    };

    // The schemas read, in order.
    static const QStringList &schemas();
    // Runs `gsettings list-recursively` for each schema, all within `timeoutMs`; nothing outside
    // GNOME, without the program or past the bound (logged). Blocks the caller.
    static GnomeKeyBindings read(int timeoutMs = 3000);
    // Adds the accelerators of the lines `gsettings list-recursively` prints ("schema key value").
    void addSettings(const QString &listing);
    // A GNOME accelerator: its key symbol and carbon modifiers; nothing for an empty or disabled
    // one, one with a modifier Lumacast never grabs (Hyper, Meta), or a key name X does not know.
    static std::optional<Binding> parseAccelerator(const QString &accelerator);

    // The setting whose key is the same as Lumacast's binding (key code and carbon modifiers), by
    // the value of the key's symbol in the current layout, whatever name either side gives it;
    // nothing when GNOME leaves the key to programs.
    std::optional<QString> holder(quint32 keyCode, quint32 carbonModifiers) const;
    bool isEmpty() const { return m_bindings.empty(); }
    const std::vector<Binding> &bindings() const { return m_bindings; }

    // What Settings and the log say of the keys GNOME keeps, one line per shortcut
    // ("Start / Pause: Shift+Super+Space (switch-input-source-backward)"); empty without any.
    static QString keptKeysNote(const QStringList &lines);

private:
    std::vector<Binding> m_bindings;
};

} // namespace lumacast::pipewire
