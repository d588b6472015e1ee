#pragma once

#include "app/ActiveStateFollower.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QVBoxLayout;

namespace oculo {

class MagnifierState;
class ValueSlider;
class WindowRegistry;

// The settings window's form: the active magnifier's zoom, mode and picture, the number
// of open windows with a way to open another, and the keyboard shortcuts a
// magnifier window understands. It stores nothing itself; the values belong to
// the active window's MagnifierState, and the form follows the active window.
class SettingsView : public QWidget {
    Q_OBJECT

public:
    // `registry` must outlive the view.
    explicit SettingsView(WindowRegistry& registry, QWidget* parent = nullptr);
    ~SettingsView() override;

    QSize sizeHint() const override { return {450, 400}; }

    // Adds a section below the others; the view takes it.
    void addSection(QWidget* section);

private:
    QGroupBox* buildMagnificationSection();
    QGroupBox* buildModeSection();
    QGroupBox* buildPictureSection();
    QGroupBox* buildNoWindowSection();
    QGroupBox* buildWindowsSection();
    QGroupBox* buildShortcutsSection();
    void refresh();

    WindowRegistry& m_registry;
    ActiveStateFollower m_active;

    QGroupBox* m_magnificationSection = nullptr;
    QGroupBox* m_modeSection = nullptr;
    QGroupBox* m_pictureSection = nullptr;
    QGroupBox* m_noWindowSection = nullptr;
    ValueSlider* m_zoomSlider = nullptr;
    QLabel* m_zoomText = nullptr;
    QComboBox* m_modePicker = nullptr;
    QCheckBox* m_followFocusBox = nullptr;
    QComboBox* m_filterPicker = nullptr;
    QCheckBox* m_smoothBox = nullptr;
    QCheckBox* m_crosshairBox = nullptr;
    QLabel* m_windowCount = nullptr;
    QVBoxLayout* m_sections = nullptr;
};

} // namespace oculo
