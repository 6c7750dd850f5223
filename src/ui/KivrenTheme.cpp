#include "KivrenTheme.h"

#include "ContinuousCorners.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPalette>

namespace {

QColor rgb(double r, double g, double b, double a = 1.0)
{
    return QColor::fromRgbF(float(r), float(g), float(b), float(a));
}

// The font files built in as resources (src/ui/CMakeLists.txt), made known to Qt on first use:
// a font is first asked for once the application exists.
void addBuiltInFonts()
{
    static const bool added = [] {
        for (const char *file : {":/fonts/DejaVuSans.ttf", ":/fonts/DejaVuSans-Bold.ttf", ":/fonts/DejaVuSansMono.ttf",
                                 ":/fonts/DejaVuSansMono-Bold.ttf"})
            QFontDatabase::addApplicationFont(QString::fromLatin1(file));
        return true;
    }();
    Q_UNUSED(added);
}

QFont builtIn(const QString &family, QFont::StyleHint hint, qreal pixelSize, QFont::Weight weight)
{
    addBuiltInFonts();
    QFont f(family);
    // Only for characters the family lacks (an address-book name in another script, say).
    f.setStyleHint(hint);
    f.setPixelSize(qRound(pixelSize));
    f.setWeight(weight);
    return f;
}

} // namespace

namespace KivrenTheme {

const QColor &bg()
{
    static const QColor c = rgb(0.043, 0.047, 0.055);
    return c;
}

const QColor &surface()
{
    static const QColor c = rgb(0.078, 0.086, 0.102);
    return c;
}

const QColor &elevated()
{
    static const QColor c = rgb(0.11, 0.118, 0.137);
    return c;
}

const QColor &fg()
{
    static const QColor c = rgb(0.945, 0.949, 0.957);
    return c;
}

const QColor &muted()
{
    static const QColor c = rgb(0.545, 0.565, 0.604);
    return c;
}

const QColor &border()
{
    static const QColor c = rgb(1, 1, 1, 0.1);
    return c;
}

const QColor &accent()
{
    static const QColor c = rgb(0.91, 0.918, 0.933);
    return c;
}

const QColor &accentFg()
{
    static const QColor c = rgb(0.043, 0.047, 0.055);
    return c;
}

const QColor &ok()
{
    static const QColor c = rgb(0.369, 0.878, 0.71);
    return c;
}

const QColor &warning()
{
    static const QColor c = rgb(0.949, 0.722, 0.294);
    return c;
}

const QColor &danger()
{
    static const QColor c = rgb(0.886, 0.427, 0.427);
    return c;
}

QFont font(qreal pixelSize, QFont::Weight weight)
{
    return builtIn(sansFamily, QFont::SansSerif, pixelSize, weight);
}

QFont monoFont(qreal pixelSize, QFont::Weight weight)
{
    return builtIn(monoFamily, QFont::Monospace, pixelSize, weight);
}

QFont applicationFont()
{
    return font(applicationFontPixelSize);
}

QPalette palette()
{
    QPalette p = QApplication::palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, bg());
        p.setColor(group, QPalette::Base, bg());
        p.setColor(group, QPalette::AlternateBase, surface());
        p.setColor(group, QPalette::WindowText, fg());
        p.setColor(group, QPalette::Text, fg());
        p.setColor(group, QPalette::ButtonText, fg());
        p.setColor(group, QPalette::Button, elevated());
        p.setColor(group, QPalette::PlaceholderText, placeholder());
        p.setColor(group, QPalette::Highlight, muted());
        p.setColor(group, QPalette::HighlightedText, bg());
    }
    return p;
}

const QColor &focusRing()
{
    return fg();
}

const QColor &placeholder()
{
    // The captions' grey: a darker one read at under 4:1 on the field's fill.
    return muted();
}

void drawFocusRing(QPainter &painter, const QRectF &box, qreal radius, const QColor &colour)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipping(false);
    const qreal half = focusRingWidth / 2;
    QPen pen(colour, focusRingWidth);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(ContinuousCorners::roundedRect(box.adjusted(half, half, -half, -half), std::max<qreal>(0, radius - half)));
    painter.restore();
}

void scaleWhilePressed(QPainter &painter, const QRectF &box, bool pressed)
{
    if (!pressed)
        return;
    painter.translate(box.center());
    painter.scale(pressedScale, pressedScale);
    painter.translate(-box.center());
}

} // namespace KivrenTheme
