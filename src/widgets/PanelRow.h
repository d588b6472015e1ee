#pragma once

#include "widgets/TintedIcon.h"

#include <QAbstractButton>
#include <optional>

class QKeySequence;

namespace oculo {

// One row of the tray panel in its menu look: an optional checkmark column,
// a symbol, the title and, right aligned, a shortcut's keys; highlighted under
// the pointer or focus, drawn in the muted colour when disabled. A row with a
// checkmark column is a checkable button whose checked state its owner sets
// from the model only: a click never flips it by itself, so the row shows the
// state rather than guesses it.
class PanelRow : public QAbstractButton {
public:
    PanelRow(TintedDrawing symbol, const QString& title, QWidget* parent);

    // Shows the title with this symbol; the accessible name follows the title.
    void display(TintedDrawing symbol, const QString& title);
    // Gives the row its checkmark column and makes it checkable.
    void setCheckmark(TintedDrawing checkmark);
    // Only shows the keys: the command's action answers them.
    void setShortcutText(const QKeySequence& keys);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void nextCheckState() override {}
    void paintEvent(QPaintEvent* event) override;

private:
    static constexpr int padding = 8;
    static constexpr int gap = 6;
    static constexpr int iconSize = 16;

    int textStart() const { return padding + (m_checkmark ? 2 : 1) * (iconSize + gap); }

    TintedDrawing m_symbol;
    std::optional<TintedDrawing> m_checkmark;
    QString m_shortcutText;
};

} // namespace oculo
