#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QRectF>
#include <QString>

class QPainter;

// The shared dark palette and the fonts every screen uses. The colours never follow the
// system's light or dark appearance.
namespace KivrenTheme {

const QColor &bg();       // window background, text-field fill, picture letterbox
const QColor &surface();  // card fill
const QColor &elevated(); // secondary button fill
const QColor &fg();       // secondary button text, address-book names
const QColor &muted();    // captions, status lines, hints
const QColor &border();   // 1-point outlines (white at 10 %)
const QColor &accent();   // primary button fill, logo strokes
const QColor &accentFg(); // primary button text
const QColor &ok();       // the host status dot while all is well
const QColor &warning();  // the host status dot while something is missing or on its way; notices
const QColor &danger();   // the viewer status line while its session has failed; the host status
                          // dot while something is wrong
const QColor &focusRing(); // the ring round the control that has the keyboard focus
const QColor &placeholder(); // the text a field shows while empty (at least 4.5:1 on bg())

// The families every screen draws in, built into the program (DejaVu Sans and DejaVu Sans Mono,
// regular and bold, see src/ui/CMakeLists.txt): the window looks the same on every machine,
// whatever fonts it has installed.
inline const QString sansFamily = QStringLiteral("DejaVu Sans");
inline const QString monoFamily = QStringLiteral("DejaVu Sans Mono");

// The program's font at a size in logical pixels (the unit every measure here uses).
QFont font(qreal pixelSize, QFont::Weight weight = QFont::Normal);
// Its monospaced font at a size in logical pixels.
QFont monoFont(qreal pixelSize, QFont::Weight weight = QFont::Normal);
// For text no screen sizes itself (what is typed into a field, plain labels): the application's
// font, set when the application starts.
inline constexpr qreal applicationFontPixelSize = 12;
QFont applicationFont();

// Text drawn in the platform's default colour is light, so that it reads on the dark
// backgrounds; placeholders are a dimmer grey.
QPalette palette();

// Buttons shrink slightly about their centre while pressed.
inline constexpr qreal pressedScale = 0.98;
void scaleWhilePressed(QPainter &painter, const QRectF &box, bool pressed);

// The keyboard focus shows as a ring just inside the control's edge, so a person working without
// a mouse sees where Tab went.
inline constexpr qreal focusRingWidth = 2;
// On a light fill (the primary button) it is drawn in the dark text colour instead.
void drawFocusRing(QPainter &painter, const QRectF &box, qreal radius, const QColor &colour = focusRing());

} // namespace KivrenTheme
