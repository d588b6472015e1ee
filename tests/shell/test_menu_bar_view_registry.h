#pragma once

#include <QLabel>

#include "shell/WindowRegistry.h"
#include "state/MagnifierState.h"
#include "state/SettingsStore.h"

#include <QAbstractButton>
#include <QTemporaryDir>
#include <QWidget>

#include <memory>
#include <vector>

namespace oculo::test {

// A registry of bare states: no windows, no capture. Counts the calls the
// shell views make so tests can see them.
class FakeWindowRegistry : public WindowRegistry {
public:
    explicit FakeWindowRegistry(int windows = 1)
        : m_store(m_dir.filePath(QStringLiteral("settings.json"))) {
        for (int i = 0; i < windows; ++i) {
            addWindow();
        }
    }

    int windowCount() const override { return static_cast<int>(m_states.size()); }
    MagnifierState* activeState() const override {
        return m_active < m_states.size() ? m_states[m_active].get() : nullptr;
    }
    void createNewWindow() override {
        ++createCalls;
        addWindow();
    }
    void quit() override { ++quitCalls; }

    void addWindow() {
        m_states.push_back(std::make_unique<MagnifierState>(m_store));
        Q_EMIT windowsChanged();
    }
    void activate(std::size_t index) {
        m_active = index;
        Q_EMIT windowsChanged();
    }
    // Drops the active window's state before telling anyone, as a window that
    // is torn down first and reported afterwards would.
    void destroyActiveSilently() { m_states.erase(m_states.begin() + static_cast<long>(m_active)); }
    void announce() { Q_EMIT windowsChanged(); }

    int createCalls = 0;
    int quitCalls = 0;

private:
    QTemporaryDir m_dir;
    SettingsStore m_store;
    std::vector<std::unique_ptr<MagnifierState>> m_states;
    std::size_t m_active = 0;
};

template <typename T = QAbstractButton>
T* childNamed(const QWidget& parent, const QString& accessibleName) {
    for (T* child : parent.findChildren<T*>()) {
        if (child->accessibleName() == accessibleName) {
            return child;
        }
    }
    return nullptr;
}

inline QLabel* labelWithText(const QWidget& view, const QString& text) {
    for (QLabel* label : view.findChildren<QLabel*>()) {
        if (label->text() == text) {
            return label;
        }
    }
    return nullptr;
}

} // namespace oculo::test
