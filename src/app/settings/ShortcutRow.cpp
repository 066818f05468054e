#include "app/settings/ShortcutRow.h"

#include "app/settings/SettingsHost.h"
#include "app/settings/ShortcutRecorderField.h"
#include "store/GlobalKeyboardShortcuts.h"
#include "store/Preferences.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace lumacast {

namespace {
constexpr int kTitleWidth = 200;
constexpr int kWarningIndent = 204; // under the recorder field
} // namespace

ShortcutRow::ShortcutRow(ShortcutAction action, SettingsHost &host, Preferences &preferences, QWidget *parent)
    : QWidget(parent), m_action(action), m_host(&host), m_preferences(preferences)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);

    auto *line = new QHBoxLayout;
    line->setSpacing(0);
    auto *titleLabel = new QLabel(title(action), this);
    titleLabel->setFixedWidth(kTitleWidth);
    titleLabel->setWordWrap(true); // a long title takes two lines rather than lose its end
    line->addWidget(titleLabel, 0, Qt::AlignVCenter);
    m_field = new ShortcutRecorderField(this);
    line->addWidget(m_field, 0, Qt::AlignVCenter);
    line->addStretch(1);
    column->addLayout(line);

    auto *warningLine = new QHBoxLayout;
    warningLine->addSpacing(kWarningIndent);
    m_warningLabel = new QLabel(this);
    m_warningLabel->setObjectName(QStringLiteral("shortcutWarning"));
    m_warningLabel->setWordWrap(true);
    QFont caption = m_warningLabel->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    caption.setBold(false);
    m_warningLabel->setFont(caption);
    QPalette orange = m_warningLabel->palette();
    orange.setColor(QPalette::WindowText, QColor(0xe6, 0x7e, 0x00));
    m_warningLabel->setPalette(orange);
    m_warningLabel->hide();
    warningLine->addWidget(m_warningLabel, 1);
    column->addLayout(warningLine);

    m_field->onConflict = [this](const ShortcutBinding &recorded) { return conflictCheck(recorded); };
    m_field->onSave = [this](const ShortcutBinding &binding) { save(binding); };
    m_field->onRefused = [this](const QString &reason) {
        m_warning = reason;
        showWarning();
    };
    // These two also run from the field's destructor, when this row is already half gone: they
    // reach only the host, and only while it lives.
    QPointer<SettingsHost> weakHost = &host;
    m_field->onRecordingStarted = [weakHost] {
        if (weakHost) {
            if (GlobalKeyboardShortcuts *shortcuts = weakHost->shortcuts())
                shortcuts->unregisterAllHotKeys();
        }
    };
    m_field->onRecordingStopped = [weakHost] {
        if (weakHost)
            weakHost->restoreGlobalShortcuts();
    };

    connect(m_field, &ShortcutRecorderField::recordingEnded, this, &ShortcutRow::refresh);
    connect(&host, &SettingsHost::settingsChanged, this, &ShortcutRow::refresh);
    refresh();
}

QString ShortcutRow::title(ShortcutAction action)
{
    switch (action) {
    case ShortcutAction::startPause: return QStringLiteral("Pause / Resume");
    case ShortcutAction::endTake: return QStringLiteral("Start / End Take / Approve");
    case ShortcutAction::nextScene: return QStringLiteral("Next Scene");
    case ShortcutAction::retake: return QStringLiteral("Retake");
    case ShortcutAction::toggleWebcamZoom: return QStringLiteral("Webcam Zoom (corner / full screen)");
    case ShortcutAction::toggleWebcamBlob: return QStringLiteral("Show / Hide Webcam Overlay");
    }
    return {};
}

ShortcutBinding ShortcutRow::effectiveBinding(const ShortcutBindings &bindings, ShortcutAction action)
{
    const auto found = bindings.find(action);
    return found != bindings.end() ? found->second : defaultBinding(action);
}

ShortcutRow::Check ShortcutRow::check(ShortcutAction action, const ShortcutBinding &recorded,
                                      const ShortcutBindings &bindings)
{
    for (ShortcutAction other : shortcut_action::allCases) {
        if (other == action)
            continue;
        const ShortcutBinding existing = effectiveBinding(bindings, other);
        if (existing.carbonKeyCode == recorded.carbonKeyCode && existing.carbonModifiers == recorded.carbonModifiers)
            return {other, QStringLiteral("Already used by ") + title(other)};
    }
    constexpr quint32 presentationSafe = carbon_modifier::command | carbon_modifier::shift;
    if ((recorded.carbonModifiers & presentationSafe) == presentationSafe)
        return {};
    return {std::nullopt, QStringLiteral("May conflict with other apps during presentation")};
}

std::optional<ShortcutAction> ShortcutRow::conflictCheck(const ShortcutBinding &recorded)
{
    const Check result = check(m_action, recorded, m_host ? m_host->shortcutBindings() : ShortcutBindings{});
    m_warning = result.warning;
    showWarning();
    return result.conflict;
}

void ShortcutRow::save(const ShortcutBinding &binding)
{
    std::map<QString, ShortcutBinding> custom = m_preferences.customShortcuts();
    custom[shortcut_action::rawValue(m_action)] = binding;
    m_preferences.setCustomShortcuts(custom);
    if (m_host)
        m_host->shortcutBindingChanged();
}

void ShortcutRow::refresh()
{
    if (m_host)
        m_field->setBinding(effectiveBinding(m_host->shortcutBindings(), m_action));
}

void ShortcutRow::showWarning()
{
    m_warningLabel->setText(m_warning.value_or(QString()));
    m_warningLabel->setVisible(m_warning.has_value());
}

} // namespace lumacast
