#include "shell/SystemSettingsSections.h"

#include "app/AutostartEntry.h"
#include "app/GlobalShortcutActions.h"

#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace oculo {
namespace {

QLabel* explanationLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->hide();
    return label;
}

QString titleOf(const QString& id) {
    if (id == GlobalShortcutActions::toggleWindows) {
        return GlobalShortcutsSection::tr("Show/Hide Windows");
    }
    if (id == GlobalShortcutActions::zoomIn) {
        return GlobalShortcutsSection::tr("Zoom In");
    }
    if (id == GlobalShortcutActions::zoomOut) {
        return GlobalShortcutsSection::tr("Zoom Out");
    }
    return GlobalShortcutsSection::tr("Next Color Filter");
}

} // namespace

GlobalShortcutsSection::GlobalShortcutsSection(GlobalShortcutActions& actions, QWidget* parent)
    : QGroupBox(tr("Global Shortcuts"), parent)
    , m_actions(actions) {
    auto* form = new QFormLayout(this);
    m_notOffered = explanationLabel(this);
    m_notOffered->setObjectName(QStringLiteral("globalShortcutsNotOffered"));
    m_notOffered->setText(tr("This desktop does not offer global shortcuts."));
    form->addRow(m_notOffered);
    for (const GlobalShortcutActions::Shortcut& shortcut : GlobalShortcutActions::shortcuts()) {
        const QString title = titleOf(shortcut.id);
        Row row;
        row.id = shortcut.id;
        row.edit = new QKeySequenceEdit(this);
        row.edit->setObjectName(QStringLiteral("globalShortcut.") + shortcut.id);
        row.edit->setAccessibleName(title);
        row.clear = new QPushButton(tr("Clear"), this);
        row.clear->setAccessibleName(tr("Clear %1").arg(title));
        row.problem = explanationLabel(this);
        row.problem->setObjectName(QStringLiteral("globalShortcutProblem.") + shortcut.id);
        auto* line = new QHBoxLayout;
        line->addWidget(row.edit, 1);
        line->addWidget(row.clear);
        form->addRow(title, line);
        form->addRow(row.problem);
        const QString id = shortcut.id;
        connect(row.edit, &QKeySequenceEdit::editingFinished, this, [this, id] {
            for (Row& r : m_rows) {
                if (r.id == id) {
                    choose(r, r.edit->keySequence());
                }
            }
        });
        connect(row.clear, &QPushButton::clicked, this, [this, id] {
            for (Row& r : m_rows) {
                if (r.id == id) {
                    choose(r, {});
                }
            }
        });
        m_rows.append(row);
    }
    // While a field records keys, the shortcuts must not catch them first.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* /*old*/, QWidget* now) {
        bool recording = false;
        for (const Row& row : std::as_const(m_rows)) {
            recording =
                recording || (now != nullptr && row.edit->isAncestorOf(now)) || now == row.edit;
        }
        m_actions.setSuspended(recording);
    });
    connect(&m_actions, &GlobalShortcutActions::changed, this, &GlobalShortcutsSection::refresh);
    refresh();
}

GlobalShortcutsSection::~GlobalShortcutsSection() {
    // The fields go after this body, and their focus changes must not reach it.
    disconnect(qApp, nullptr, this, nullptr);
    disconnect(&m_actions, nullptr, this, nullptr);
    m_actions.setSuspended(false);
}

void GlobalShortcutsSection::choose(Row& row, const QKeySequence& sequence) {
    row.refusal = m_actions.setSequence(row.id, sequence);
    refresh();
}

void GlobalShortcutsSection::refresh() {
    const bool offered = m_actions.isOffered();
    m_notOffered->setVisible(!offered);
    for (Row& row : m_rows) {
        row.edit->setEnabled(offered);
        row.clear->setEnabled(offered);
        // A field being typed into keeps what the user typed.
        if (!row.edit->hasFocus() && !row.edit->isAncestorOf(QApplication::focusWidget())) {
            const QSignalBlocker blocker(row.edit);
            row.edit->setKeySequence(m_actions.sequence(row.id));
        }
        const QString problem = !row.refusal.isEmpty()
                                    ? row.refusal
                                    : (offered ? m_actions.problem(row.id) : QString());
        row.problem->setText(problem);
        row.problem->setVisible(!problem.isEmpty());
    }
}

StartAtLoginSection::StartAtLoginSection(AutostartEntry& entry, QWidget* parent)
    : QGroupBox(tr("Start at Login"), parent)
    , m_entry(entry) {
    auto* stack = new QVBoxLayout(this);
    m_switch = new QCheckBox(tr("Start Oculo at Login"), this);
    m_switch->setObjectName(QStringLiteral("startAtLoginSwitch"));
    m_switch->setAccessibleName(tr("Start Oculo at Login"));
    m_error = explanationLabel(this);
    m_error->setObjectName(QStringLiteral("startAtLoginError"));
    stack->addWidget(m_switch);
    stack->addWidget(m_error);
    connect(m_switch, &QCheckBox::toggled, this, [this](bool on) {
        const bool done = m_entry.setEnabled(on);
        refresh();
        m_error->setText(done ? QString() : m_entry.errorString());
        m_error->setVisible(!done);
    });
    refresh();
}

void StartAtLoginSection::showEvent(QShowEvent* event) {
    refresh();
    QGroupBox::showEvent(event);
}

void StartAtLoginSection::refresh() {
    const QSignalBlocker blocker(m_switch);
    m_switch->setChecked(m_entry.isEnabled());
}

} // namespace oculo
