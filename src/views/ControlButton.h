#pragma once

#include "views/Symbols.h"

#include <QPixmap>
#include <QToolButton>

class QAbstractButton;

namespace oculo {

// Makes Return and Enter press `button`, as Space already does.
void pressWithEnterKey(QAbstractButton* button);

// Draws `widget` at `opacity` (1 removes the effect); `drawnOpacity` reads it back.
void setDrawnOpacity(QWidget* widget, double opacity);
double drawnOpacity(const QWidget* widget);

// A bordered symbol button of the magnifier's controls strip. Its symbol and
// tint are readable properties, so tests and accessibility tools can tell what
// it shows. A checkable one is drawn pressed while on.
class ControlButton : public QToolButton {
    Q_OBJECT
    Q_PROPERTY(QString symbol READ symbolName NOTIFY symbolChanged FINAL)
    Q_PROPERTY(QString tint READ tint NOTIFY tintChanged FINAL)

public:
    ControlButton(const QString& accessibleName, int symbolSizePx, QWidget* parent = nullptr);

    Symbol symbol() const { return m_symbol; }
    QString symbolName() const { return oculo::symbolName(m_symbol); }
    void setSymbol(Symbol symbol);

    // Colour name ("blue", "orange", "green") while tinted, empty otherwise.
    QString tint() const { return m_tint; }
    void setTint(const QString& tint);

    // The tooltip, also read to assistive technology as the description.
    void setHelp(const QString& text);

    // Opacity the button is drawn at; cheaper than an opacity effect, which
    // re-renders the button off screen on every repaint.
    double opacity() const { return m_opacity; }
    void setOpacity(double opacity);

Q_SIGNALS:
    void symbolChanged();
    void tintChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The styled button (rounded border, translucent fill, symbol) is drawn
    // once per look and then copied, as the strip repaints with every frame.
    QPixmap m_picture;
    QString m_pictureKey;

    Symbol m_symbol = Symbol::magnifier;
    bool m_hasSymbol = false;
    QString m_tint;
    double m_opacity = 1.0;
};

} // namespace oculo
