#pragma once

#include <QGroupBox>
#include <QList>
#include <QString>

class QCheckBox;
class QKeySequenceEdit;
class QLabel;
class QPushButton;

namespace oculo {

class AutostartEntry;
class GlobalShortcutActions;

// The settings window's "Global Shortcuts": a key-sequence field and a clear
// button per shortcut, and under one that does not work the reason why.
// `actions` must outlive the section.
class GlobalShortcutsSection : public QGroupBox {
    Q_OBJECT

public:
    explicit GlobalShortcutsSection(GlobalShortcutActions& actions, QWidget* parent = nullptr);
    ~GlobalShortcutsSection() override;

private:
    struct Row {
        QString id;
        QKeySequenceEdit* edit = nullptr;
        QPushButton* clear = nullptr;
        QLabel* problem = nullptr;
        QString refusal; // why the last sequence typed was not taken
    };
    void choose(Row& row, const QKeySequence& sequence);
    void refresh();

    GlobalShortcutActions& m_actions;
    QLabel* m_notOffered = nullptr;
    QList<Row> m_rows;
};

// The settings window's "Start Oculo at Login" switch. It shows whether the
// autostart file is there, read again each time the window shows.
// `entry` must outlive the section.
class StartAtLoginSection : public QGroupBox {
    Q_OBJECT

public:
    explicit StartAtLoginSection(AutostartEntry& entry, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();

    AutostartEntry& m_entry;
    QCheckBox* m_switch = nullptr;
    QLabel* m_error = nullptr;
};

} // namespace oculo
