#include "shell/TrayIcon.h"

#include "app/WindowRegistry.h"
#include "shell/MenuBarView.h"
#include "shell/SettingsView.h"
#include "shell/SystemSettingsSections.h"
#include "shell/icons/ShellSymbols.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QCursor>
#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace oculo {
namespace {

// A click on the tray icon while the panel is open first closes the popup
// (Qt closes popups on any outside press); the release then activates the
// icon. Within this time of closing, that activation closes rather than reopens.
constexpr qint64 reopenGuardMs = 250;

// Tells the tray icon when the popup closes by itself (outside click, Escape).
class PanelHideWatcher : public QObject {
public:
    PanelHideWatcher(QElapsedTimer& sinceHidden, QObject* parent)
        : QObject(parent)
        , m_sinceHidden(sinceHidden) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Hide) {
            m_sinceHidden.start();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QElapsedTimer& m_sinceHidden;
};

// The panel of the newest tray icon.
QPointer<QFrame> accessiblePanel;

// Qt leaves popup windows out of the application's node of the accessibility
// tree, where screen readers look for windows, so the panel would be out of
// their reach. This node lists it after the windows Qt lists.
class ApplicationAccessible : public QAccessibleApplication {
public:
    int childCount() const override {
        return QAccessibleApplication::childCount() + (accessiblePanel ? 1 : 0);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child && accessiblePanel && child->object() == accessiblePanel
                   ? QAccessibleApplication::childCount()
                   : QAccessibleApplication::indexOfChild(child);
    }
    QAccessibleInterface* child(int index) const override {
        return index == QAccessibleApplication::childCount()
                   ? QAccessible::queryAccessibleInterface(accessiblePanel)
                   : QAccessibleApplication::child(index);
    }
};

QAccessibleInterface* applicationAccessible(const QString& className, QObject* object) {
    return className == QLatin1String("QApplication") && object == qApp ? new ApplicationAccessible
                                                                        : nullptr;
}

} // namespace

TrayIcon::TrayIcon(WindowRegistry& registry, QObject* parent)
    : QObject(parent)
    , m_registry(registry) {
    m_panel = std::make_unique<QFrame>(nullptr, Qt::Popup | Qt::FramelessWindowHint);
    m_panel->setFrameShape(QFrame::StyledPanel);
    m_panel->setAccessibleName(tr("Oculo"));
    auto* layout = new QVBoxLayout(m_panel.get());
    layout->setContentsMargins(1, 1, 1, 1);
    // The panel always has exactly the size its visible rows need.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    m_view = new MenuBarView(m_registry, m_panel.get());
    layout->addWidget(m_view);
    m_panel->installEventFilter(new PanelHideWatcher(m_sincePanelHidden, this));
    accessiblePanel = m_panel.get();
    QAccessible::installFactory(applicationAccessible);

    connect(m_view, &MenuBarView::dismissRequested, this, &TrayIcon::hidePanel);
    connect(m_view, &MenuBarView::settingsRequested, this, &TrayIcon::openSettings);

    m_tray.setIcon(applicationIcon());
    m_tray.setToolTip(QStringLiteral("Oculo"));
    connect(&m_tray, &QSystemTrayIcon::activated, this, &TrayIcon::onActivated);
    // Shown even when no tray is running yet: Qt adds the icon when one appears.
    m_tray.show();
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::isAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable() && m_tray.isVisible();
}

void TrayIcon::showPanelAt(QPoint globalPos) {
    showPanelNextTo(QRect(globalPos, QSize(1, 1)));
}

void TrayIcon::openSettings() {
    hidePanel();
    if (!m_settings) {
        m_settings = std::make_unique<SettingsView>(m_registry);
        m_settings->setWindowIcon(applicationIcon());
        m_settings->addActions(m_view->applicationActions());
        if (m_globalShortcuts != nullptr) {
            m_settings->addSection(new GlobalShortcutsSection(*m_globalShortcuts));
        }
        if (m_autostart != nullptr) {
            m_settings->addSection(new StartAtLoginSection(*m_autostart));
        }
    }
    m_settings->show();
    m_settings->raise();
    m_settings->activateWindow();
}

void TrayIcon::setSystemSettings(GlobalShortcutActions* shortcuts, AutostartEntry* autostart) {
    m_globalShortcuts = shortcuts;
    m_autostart = autostart;
}

QRect TrayIcon::panelFrame(QSize panelSize, QRect anchor, QRect available) {
    QRect frame(QPoint(anchor.left(), anchor.bottom() + 1), panelSize);
    if (frame.bottom() > available.bottom() &&
        anchor.top() - panelSize.height() >= available.top()) {
        frame.moveBottom(anchor.top() - 1);
    }
    frame.moveLeft(std::max(available.left(),
                            std::min(frame.left(), available.right() - panelSize.width() + 1)));
    frame.moveTop(std::max(available.top(),
                           std::min(frame.top(), available.bottom() - panelSize.height() + 1)));
    return frame;
}

void TrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::Context: {
        if (m_panel->isVisible() ||
            (m_sincePanelHidden.isValid() && m_sincePanelHidden.elapsed() < reopenGuardMs)) {
            hidePanel();
            return;
        }
        // Status-notifier trays report no icon geometry; the pointer is next to the icon then.
        const QRect iconRect = m_tray.geometry();
        showPanelNextTo(iconRect.isValid() ? iconRect : QRect(QCursor::pos(), QSize(1, 1)));
        return;
    }
    // A double click has already toggled the panel with its first click.
    case QSystemTrayIcon::DoubleClick:
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        return;
    }
}

void TrayIcon::showPanelNextTo(QRect anchor) {
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    m_panel->adjustSize();
    const QSize size = m_panel->sizeHint().expandedTo(m_panel->size());
    const QRect available = screen ? screen->availableGeometry() : QRect(anchor.topLeft(), size);
    m_panel->move(panelFrame(size, anchor, available).topLeft());
    // A row focused with Tab last time would still be highlighted, and Space
    // would press it: every opening starts without a focused row.
    if (QWidget* focused = m_panel->focusWidget()) {
        focused->clearFocus();
    }
    m_panel->show();
    m_panel->raise();
    m_panel->activateWindow();
}

void TrayIcon::hidePanel() {
    m_panel->hide();
}

} // namespace oculo
