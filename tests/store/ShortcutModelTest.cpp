#include "store/Shortcut.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace lumacast;

namespace {

// Answers from a fixed script so key names do not depend on the machine's layout: `key` types
// `answer` and has `symbol`, the other keys type nothing and have none.
class ScriptedLayout final : public KeyboardLayout {
public:
    quint32 key = 0;
    std::optional<QString> answer; // nothing: no layout to ask, for any key
    std::optional<QString> symbol;
    std::optional<QString> characterForKeyCode(quint32 code) const override { return answer && code != key ? QString() : answer; }
    std::optional<QString> keySymbolName(quint32 code) const override { return symbol && code != key ? QString() : symbol; }
};

class ScopedLayout {
public:
    explicit ScopedLayout(std::shared_ptr<const KeyboardLayout> layout)
        : m_previous(ShortcutBinding::keyboardLayout())
    {
        ShortcutBinding::setKeyboardLayout(std::move(layout));
    }
    ~ScopedLayout() { ShortcutBinding::setKeyboardLayout(m_previous); }

private:
    std::shared_ptr<const KeyboardLayout> m_previous;
};

} // namespace

TEST(ShortcutAction, RawValuesAreTheCaseNamesInOrderAndMatchExactly)
{
    const QStringList expected{"startPause", "endTake",          "nextScene",
                               "retake",     "toggleWebcamZoom", "toggleWebcamBlob"};
    ASSERT_EQ(shortcut_action::allCases.size(), 6u);
    for (size_t i = 0; i < shortcut_action::allCases.size(); ++i) {
        const ShortcutAction action = shortcut_action::allCases[i];
        EXPECT_EQ(shortcut_action::rawValue(action), expected[int(i)]);
        EXPECT_EQ(shortcut_action::fromRawValue(expected[int(i)]), action);
    }
    EXPECT_FALSE(shortcut_action::fromRawValue("StartPause"));
    EXPECT_FALSE(shortcut_action::fromRawValue("retake "));
    EXPECT_FALSE(shortcut_action::fromRawValue(""));
    // Hashing follows the raw value text.
    EXPECT_EQ(qHash(ShortcutAction::retake, 42u), qHash(QStringLiteral("retake"), 42u));
}

TEST(ShortcutBinding, DefaultsUseCommandShiftWithTheirKeys)
{
    struct Row {
        ShortcutAction action;
        quint32 keyCode;
        QString equivalent;
        QString shown;
    };
    const Row rows[] = {
        {ShortcutAction::startPause, 49, " ", "Shift+Super+Space"},
        {ShortcutAction::endTake, 36, "\r", "Shift+Super+Return"},
        {ShortcutAction::nextScene, 45, "n", "Shift+Super+N"},
        {ShortcutAction::retake, 15, "r", "Shift+Super+R"},
        {ShortcutAction::toggleWebcamZoom, 3, "f", "Shift+Super+F"},
        {ShortcutAction::toggleWebcamBlob, 13, "w", "Shift+Super+W"},
    };
    ScopedLayout us(std::make_shared<UsKeyboardLayout>());
    for (const Row &row : rows) {
        const ShortcutBinding binding = defaultBinding(row.action);
        EXPECT_EQ(binding.carbonKeyCode, row.keyCode);
        EXPECT_EQ(binding.carbonModifiers, 0x300u);
        EXPECT_EQ(binding.keyEquivalent, row.equivalent);
        EXPECT_EQ(binding.eventModifiers, event_modifier::command | event_modifier::shift);
        EXPECT_EQ(ShortcutBinding::displayString(binding.carbonKeyCode, binding.carbonModifiers),
                  row.shown);
    }
    ShortcutBinding other = defaultBinding(ShortcutAction::retake);
    other.eventModifiers = event_modifier::command;
    EXPECT_NE(other, defaultBinding(ShortcutAction::retake));
}

TEST(ShortcutBinding, JsonRoundTripAndStrictDecoding)
{
    const ShortcutBinding binding{0x7A, 0x1800, "\r", 12};
    const QByteArray text = binding.toJsonBytes();
    EXPECT_EQ(text, QByteArray(R"({"carbonKeyCode":122,"carbonModifiers":6144,"keyEquivalent":"\r",)"
                               R"("eventModifiers":12})"));
    EXPECT_EQ(ShortcutBinding::fromJson(QJsonDocument::fromJson(text).object()), binding);
    EXPECT_EQ(ShortcutBinding::fromJson(binding.toJson()), binding);

    const auto decode = [](const char *json) {
        return ShortcutBinding::fromJson(QJsonDocument::fromJson(json).object());
    };
    EXPECT_FALSE(decode(R"({"carbonKeyCode":1,"carbonModifiers":256,"keyEquivalent":"s"})"));
    EXPECT_FALSE(decode(R"({"carbonKeyCode":"1","carbonModifiers":256,"keyEquivalent":"s","eventModifiers":16})"));
    EXPECT_FALSE(decode(R"({"carbonKeyCode":-1,"carbonModifiers":256,"keyEquivalent":"s","eventModifiers":16})"));
    EXPECT_FALSE(decode(R"({"carbonKeyCode":1.5,"carbonModifiers":256,"keyEquivalent":"s","eventModifiers":16})"));
    EXPECT_FALSE(decode(R"({"carbonKeyCode":4294967296,"carbonModifiers":256,"keyEquivalent":"s","eventModifiers":16})"));
    EXPECT_FALSE(decode(R"({"carbonKeyCode":1,"carbonModifiers":256,"keyEquivalent":7,"eventModifiers":16})"));
    EXPECT_FALSE(ShortcutBinding::fromJson(QJsonValue(3)));
    EXPECT_EQ(decode(R"({"eventModifiers":16,"keyEquivalent":"s","carbonModifiers":256,"carbonKeyCode":1,"extra":true})"),
              (ShortcutBinding{1, 256, "s", 16}));
}

TEST(ShortcutBinding, DisplayStringNamesModifiersInWordsInOneOrderAndIgnoresOtherBits)
{
    const struct {
        quint32 keyCode;
        quint32 modifiers;
        const char *shown;
    } rows[] = {
        {49, 0x1B00, "Shift+Ctrl+Alt+Super+Space"},
        {53, 0x1000 | 0x100, "Ctrl+Super+Esc"},
        {123, 0x0800 | 0x0001 | 0x4000, "Alt+Left"},
        {48, 0x300, "Shift+Super+Tab"},
        {48, 0, "Tab"},
        {51, 0x200, "Shift+Backspace"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(ShortcutBinding::displayString(row.keyCode, row.modifiers), QString::fromUtf8(row.shown))
            << row.shown;
    // Nothing a Linux keyboard does not carry.
    for (quint32 code = 0; code < 0x80; ++code) {
        const QString shown = ShortcutBinding::displayString(code, carbon_modifier::all);
        for (const char *symbol : {"⌘", "⇧", "⌃", "⌥", "↩", "⇥", "⎋", "⌫"})
            EXPECT_FALSE(shown.contains(QString::fromUtf8(symbol))) << code;
        EXPECT_TRUE(shown.startsWith(QStringLiteral("Shift+Ctrl+Alt+Super+"))) << code;
    }
}

TEST(ShortcutBinding, KeyNamesComeFromFixedSymbolsThenTheLayout)
{
    auto layout = std::make_shared<ScriptedLayout>();
    ScopedLayout scoped(layout);
    layout->answer = QStringLiteral("ß"); // the fixed names never ask the layout
    const std::pair<quint32, QString> fixed[] = {{36, "Return"}, {48, "Tab"},    {49, "Space"},
                                                 {51, "Backspace"}, {53, "Esc"}, {123, "Left"},
                                                 {124, "Right"}, {125, "Down"}, {126, "Up"}};
    for (const auto &[code, name] : fixed)
        EXPECT_EQ(ShortcutBinding::keyName(code), name) << code;

    // Each letter by its own capital, ß by itself; its menu key and stored equivalent agree.
    EXPECT_EQ(ShortcutBinding::keyName(0), QStringLiteral("ß"));
    EXPECT_EQ(ShortcutBinding::qtKeyForKeyCode(0), Qt::Key_ssharp);
    EXPECT_EQ(ShortcutBinding::nameOfMenuKey(Qt::Key_ssharp), QStringLiteral("ß"));
    layout->answer = QStringLiteral("é");
    EXPECT_EQ(ShortcutBinding::keyName(0), QStringLiteral("É"));
    EXPECT_EQ(ShortcutBinding::keyEquivalentForKey(0), QStringLiteral("é"));
    // A key that types nothing, or only a control character, goes by its symbol's name: the
    // layout's, else the fixed one of its key.
    layout->answer = QString();
    EXPECT_EQ(ShortcutBinding::keyName(0x7A), QStringLiteral("F1"));
    layout->answer = QStringLiteral("\r");
    layout->key = 0x4C;
    EXPECT_EQ(ShortcutBinding::keyName(0x4C), QStringLiteral("KP Enter"));
    using Names = std::initializer_list<std::pair<const char *, const char *>>;
    for (const auto &[symbol, name] : Names{{"Prior", "Page Up"}, {"Scroll_Lock", "Scroll Lock"}, {"XF86Tools", "Tools"},
                                            {"XF86AudioRaiseVolume", "Audio Raise Volume"}}) {
        layout->key = 0x48;
        layout->symbol = QString::fromLatin1(symbol);
        EXPECT_EQ(ShortcutBinding::keyName(0x48), QString::fromLatin1(name)) << symbol;
    }
    // The function keys go by position, whatever symbol the keymap gives them.
    layout->key = 0x69;
    EXPECT_EQ(ShortcutBinding::keyName(0x69), QStringLiteral("F13"));
    layout->symbol = QString(); // the layout's key has no symbol
    EXPECT_EQ(ShortcutBinding::keyName(0x69), QStringLiteral("F13"));
    layout->answer.reset(); // no layout at all
    EXPECT_EQ(ShortcutBinding::keyName(0), QStringLiteral("?"));
}

TEST(ShortcutBinding, UsLayoutNamesKeysByPosition)
{
    ScopedLayout us(nullptr); // null brings back the built-in US layout
    EXPECT_EQ(ShortcutBinding::keyName(0x00), QStringLiteral("A"));
    EXPECT_EQ(ShortcutBinding::keyName(0x10), QStringLiteral("Y"));
    EXPECT_EQ(ShortcutBinding::keyName(0x1D), QStringLiteral("0"));
    EXPECT_EQ(ShortcutBinding::keyName(0x2B), QStringLiteral(","));
    EXPECT_EQ(ShortcutBinding::keyName(0xFFFF), QStringLiteral("?"));
    EXPECT_EQ(ShortcutBinding::keyEquivalentForKey(0xFFFF), QStringLiteral("?"));
    // The keypad's digits apart from the row above the letters.
    EXPECT_EQ(ShortcutBinding::keyName(0x53), QStringLiteral("KP 1"));
    EXPECT_EQ(ShortcutBinding::keyName(0x12), QStringLiteral("1"));
}

// Keys that type nothing: the name Settings shows, the stored menu key and the name the menus
// show for it agree, and the stored codes are the classic ones.
TEST(ShortcutBinding, KeysThatTypeNothingAreNamedAlikeInSettingsMenusAndTheStoredKey)
{
    ScopedLayout us(nullptr);
    const struct {
        quint32 code;
        const char *name;
        char16_t equivalent;
        Qt::Key menuKey;
    } keys[] = {
        {0x60, "F5", 0xF708, Qt::Key_F5},       {key_code::f24, "F24", 0xF71B, Qt::Key_F24},
        {0x74, "Page Up", 0xF72C, Qt::Key_PageUp}, {key_code::scrollLock, "Scroll Lock", 0xF72F, Qt::Key_ScrollLock},
        {0x4C, "KP Enter", 0x03, Qt::Key_Enter}, {36, "Return", u'\r', Qt::Key_Return},
    };
    for (const auto &key : keys) {
        const ShortcutBinding binding{key.code, 0x1200, QString(QChar(key.equivalent)), 6};
        EXPECT_EQ(ShortcutBinding::displayString(key.code, 0x1200), "Shift+Ctrl+" + QString::fromLatin1(key.name));
        EXPECT_EQ(ShortcutBinding::keyEquivalentForKeyCode(key.code), binding.keyEquivalent) << key.name;
        EXPECT_EQ(binding.menuKeyEquivalent(), key.menuKey) << key.name;
        EXPECT_EQ(ShortcutBinding::nameOfMenuKey(key.menuKey), QString::fromLatin1(key.name));
    }
    EXPECT_FALSE(ShortcutBinding::keyEquivalentForKeyCode(45)); // N types its letter
}

TEST(ShortcutBinding, MenuKeyEquivalentAndModifiers)
{
    EXPECT_EQ((ShortcutBinding{49, 0x300, " ", 18}.menuKeyEquivalent()), Qt::Key_Space);
    EXPECT_EQ((ShortcutBinding{36, 0x300, "\r", 18}.menuKeyEquivalent()), Qt::Key_Return);
    EXPECT_EQ((ShortcutBinding{45, 0x300, "n", 18}.menuKeyEquivalent()), Qt::Key_N);
    EXPECT_EQ((ShortcutBinding{45, 0x300, "nx", 18}.menuKeyEquivalent()), Qt::Key_N);
    // The stored character plays no part: "?", nothing, or another layout's letter show the key.
    for (const char *stored : {"", "?", "b"})
        EXPECT_EQ((ShortcutBinding{45, 0x300, stored, 18}.menuKeyEquivalent()), Qt::Key_N) << stored;
    // Keys whose equivalent is a control character: its code point is no key of Qt's.
    EXPECT_EQ((ShortcutBinding{48, 0x300, "\t", 18}.menuKeyEquivalent()), Qt::Key_Tab);
    EXPECT_EQ((ShortcutBinding{51, 0x300, "\b", 18}.menuKeyEquivalent()), Qt::Key_Backspace);
    EXPECT_EQ((ShortcutBinding{53, 0x300, "\x1b", 18}.menuKeyEquivalent()), Qt::Key_Escape);

    EXPECT_EQ((ShortcutBinding{45, 0x300, "n", 18}.menuModifiers()),
              Qt::MetaModifier | Qt::ShiftModifier);
    EXPECT_EQ((ShortcutBinding{45, 0x1800, "n", event_modifier::control | event_modifier::option}
                   .menuModifiers()),
              Qt::ControlModifier | Qt::AltModifier);
}
