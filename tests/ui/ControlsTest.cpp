#include "ContinuousCorners.h"
#include "Eyebrow.h"
#include "KivrenField.h"
#include "KivrenGhost.h"
#include "KivrenMark.h"
#include "KivrenPrimary.h"
#include "KivrenTheme.h"

#include <QFile>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

namespace {

// A card-coloured panel with 20 of inset, the way the screens hold their controls.
struct Panel
{
    std::unique_ptr<QWidget> widget = std::make_unique<QWidget>();
    QVBoxLayout *layout = new QVBoxLayout(widget.get());

    explicit Panel(int width = 400)
    {
        QPalette p = widget->palette();
        p.setColor(QPalette::Window, KivrenTheme::surface());
        widget->setPalette(p);
        widget->setAutoFillBackground(true);
        layout->setContentsMargins(20, 20, 20, 20);
        layout->setSpacing(10);
        widget->resize(width, 200);
    }

    template<typename W>
    W *add(W *control)
    {
        layout->addWidget(control, 0, Qt::AlignLeft);
        return control;
    }

    QImage render()
    {
        widget->show();
        layout->activate();
        return widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    }
};

QColor pixelAt(const QImage &image, QPoint p)
{
    return image.pixelColor(p);
}

// Colours compared per 8-bit channel, allowing one step of rounding.
::testing::AssertionResult sameColour(const QColor &actual, const QColor &expected)
{
    const int dr = std::abs(actual.red() - expected.red());
    const int dg = std::abs(actual.green() - expected.green());
    const int db = std::abs(actual.blue() - expected.blue());
    if (dr <= 1 && dg <= 1 && db <= 1)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << actual.name().toStdString() << " differs from expected " << expected.name().toStdString();
}

QColor over(const QColor &top, qreal opacity, const QColor &under)
{
    auto mix = [&](float a, float b) { return a * float(opacity) + b * float(1 - opacity); };
    return QColor::fromRgbF(mix(top.redF(), under.redF()), mix(top.greenF(), under.greenF()),
                            mix(top.blueF(), under.blueF()));
}

} // namespace

struct ThemeCase
{
    const char *name;
    std::function<const QColor &()> colour;
    const char *hex;
    int alpha;
};

void PrintTo(const ThemeCase &row, std::ostream *out)
{
    *out << row.name;
}

class ThemePalette : public ::testing::TestWithParam<ThemeCase> {};

TEST_P(ThemePalette, Colour_MatchesItsEightBitValue)
{
    const QColor c = GetParam().colour();
    EXPECT_EQ(c.name(QColor::HexRgb).toUpper().toStdString(), GetParam().hex);
    EXPECT_EQ(c.alpha(), GetParam().alpha);
}

INSTANTIATE_TEST_SUITE_P(
    Ten, ThemePalette,
    ::testing::Values(ThemeCase{"bg", KivrenTheme::bg, "#0B0C0E", 255},
                      ThemeCase{"surface", KivrenTheme::surface, "#14161A", 255},
                      ThemeCase{"elevated", KivrenTheme::elevated, "#1C1E23", 255},
                      ThemeCase{"fg", KivrenTheme::fg, "#F1F2F4", 255},
                      ThemeCase{"muted", KivrenTheme::muted, "#8B909A", 255},
                      ThemeCase{"border", KivrenTheme::border, "#FFFFFF", 26},
                      ThemeCase{"accent", KivrenTheme::accent, "#E8EAEE", 255},
                      ThemeCase{"accentFg", KivrenTheme::accentFg, "#0B0C0E", 255},
                      ThemeCase{"ok", KivrenTheme::ok, "#5EE0B5", 255},
                      ThemeCase{"danger", KivrenTheme::danger, "#E26D6D", 255}),
    [](const auto &info) { return std::string(info.param.name); });

// The window draws in the fonts built into the program, whatever the machine has installed: on a
// machine whose own monospaced font is another family, the ID is still fixed pitch.
struct ThemeFontCase
{
    const char *name;
    std::function<QFont()> font;
    const QString &family;
    bool fixedPitch;
};

void PrintTo(const ThemeFontCase &row, std::ostream *out)
{
    *out << row.name;
}

class ThemeFont : public ::testing::TestWithParam<ThemeFontCase> {};

TEST_P(ThemeFont, Font_TheBuiltInFamilyAtItsSize)
{
    const QFont font = GetParam().font();
    const QFontInfo used(font);
    EXPECT_EQ(used.family(), GetParam().family);
    EXPECT_EQ(used.fixedPitch(), GetParam().fixedPitch);
    EXPECT_EQ(used.pixelSize(), font.pixelSize());
    EXPECT_EQ(used.bold(), font.weight() >= QFont::DemiBold);
}

INSTANTIATE_TEST_SUITE_P(
    Uses, ThemeFont,
    ::testing::Values(ThemeFontCase{"Text", [] { return KivrenTheme::font(13); }, KivrenTheme::sansFamily, false},
                      ThemeFontCase{"Title", [] { return KivrenTheme::font(22, QFont::DemiBold); }, KivrenTheme::sansFamily, false},
                      ThemeFontCase{"Application", KivrenTheme::applicationFont, KivrenTheme::sansFamily, false},
                      ThemeFontCase{"HostId", [] { return KivrenTheme::monoFont(32, QFont::DemiBold); }, KivrenTheme::monoFamily, true},
                      ThemeFontCase{"BookId", [] { return KivrenTheme::monoFont(12); }, KivrenTheme::monoFamily, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Built into the program rather than found on the machine.
TEST(KivrenTheme, Fonts_BuiltIntoTheProgram)
{
    for (const char *file : {":/fonts/DejaVuSans.ttf", ":/fonts/DejaVuSans-Bold.ttf", ":/fonts/DejaVuSansMono.ttf",
                             ":/fonts/DejaVuSansMono-Bold.ttf"})
        EXPECT_GT(QFile(QString::fromLatin1(file)).size(), 100000) << file;
}

TEST(KivrenPrimary, Geometry_FullWidthOfTheContentAnd48High)
{
    Panel panel(400);
    auto *button = new KivrenPrimary(QStringLiteral("Connect"));
    panel.layout->addWidget(button);
    panel.render();
    EXPECT_EQ(button->width(), 400 - 2 * 20);
    EXPECT_EQ(button->height(), 48);
}

class GhostWidth : public ::testing::TestWithParam<const char *> {};

TEST_P(GhostWidth, Geometry_LabelPlus14EachSideAnd44High)
{
    Panel panel(600);
    auto *button = panel.add(new KivrenGhost(QString::fromUtf8(GetParam())));
    panel.render();
    const QFontMetricsF metrics(button->font());
    const int label = int(std::ceil(metrics.horizontalAdvance(button->text())));
    EXPECT_EQ(button->width(), 14 + label + 14);
    EXPECT_EQ(button->height(), 44);
    EXPECT_EQ(button->font().pixelSize(), 15);
    EXPECT_EQ(button->font().weight(), QFont::Medium);
}

INSTANTIATE_TEST_SUITE_P(Labels, GhostWidth,
                         ::testing::Values("New", "Copy password", "Save cloud", "End"));

TEST(KivrenField, Geometry_48HighWithText12InFromTheLeft)
{
    Panel panel(400);
    struct Probe : KivrenField
    {
        using KivrenField::KivrenField;
        using QLineEdit::cursorRect;
    };
    auto *field = new Probe(QStringLiteral("123 456 789"));
    panel.layout->addWidget(field);
    panel.render();
    EXPECT_EQ(field->height(), 48);
    EXPECT_EQ(field->width(), 360);
    // The cursor of an empty field sits where the first character will start.
    EXPECT_NEAR(field->cursorRect().center().x(), 12, 1.5);
}

TEST(Eyebrow, Caption_UpperCasedAndEmptyHasNoWidth)
{
    Eyebrow caption(QStringLiteral("This device"));
    EXPECT_EQ(caption.text(), QStringLiteral("THIS DEVICE"));
    EXPECT_EQ(caption.caption(), QStringLiteral("This device"));
    EXPECT_EQ(caption.font().pixelSize(), 11);
    EXPECT_NEAR(caption.font().letterSpacing(), 1.2, 1.0 / 64); // stored in 1/64 steps
    EXPECT_EQ(caption.palette().color(QPalette::WindowText), KivrenTheme::muted());

    Eyebrow empty{QString()};
    EXPECT_EQ(empty.sizeHint().width(), 0);
}

struct MarkCase
{
    const char *name;
    qreal size;
    qreal outerRadius;
    qreal innerSide;
    qreal innerRadius;
    qreal shift; // inner frame left/up, glyph size and glyph right/down
};

void PrintTo(const MarkCase &row, std::ostream *out)
{
    *out << row.name;
}

class MarkMeasures : public ::testing::TestWithParam<MarkCase> {};

TEST_P(MarkMeasures, Geometry_ScalesWithSizeButStrokesStayFixed)
{
    const MarkCase c = GetParam();
    const MarkGeometry g = KivrenMark(c.size).markGeometry();
    EXPECT_EQ(g.outer, QRectF(0, 0, c.size, c.size));
    EXPECT_NEAR(g.outerRadius, c.outerRadius, 1e-9);
    EXPECT_NEAR(g.inner.width(), c.innerSide, 1e-9);
    EXPECT_NEAR(g.inner.height(), c.innerSide, 1e-9);
    EXPECT_NEAR(g.innerRadius, c.innerRadius, 1e-9);
    EXPECT_NEAR(g.inner.center().x(), c.size / 2 - c.shift / 4.5, 1e-9);
    EXPECT_NEAR(g.inner.center().y(), c.size / 2 - c.shift / 4.5, 1e-9);
    EXPECT_NEAR(g.glyphSize, c.shift, 1e-9);
    EXPECT_NEAR(g.glyphCentre.x(), c.size / 2 + c.shift, 1e-9);
    EXPECT_NEAR(g.glyphCentre.y(), c.size / 2 + c.shift, 1e-9);
    EXPECT_DOUBLE_EQ(MarkGeometry::kOuterStroke, 1.6);
    EXPECT_DOUBLE_EQ(MarkGeometry::kInnerStroke, 1.4);

    // The drawn glyph points right and sits inside the mark, below-right of its centre.
    const QPolygonF play = KivrenMark::playTriangle(g);
    const QRectF box = play.boundingRect();
    EXPECT_TRUE(QRectF(0, 0, c.size, c.size).contains(box));
    EXPECT_GT(box.left(), c.size / 2);
    EXPECT_GT(box.top(), c.size / 2);
    EXPECT_NEAR(play[1].x(), box.right(), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(HomeAndDouble, MarkMeasures,
                         ::testing::Values(MarkCase{"Home", 40, 11.2, 16.8, 4.8, 7.2},
                                           MarkCase{"Double", 80, 22.4, 33.6, 9.6, 14.4}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(KivrenMark, Render_AccentStrokesOverTheBackground)
{
    Panel panel(200);
    auto *mark = panel.add(new KivrenMark(80));
    const QImage image = panel.render();
    const QPoint origin = mark->mapTo(panel.widget.get(), QPoint(0, 0));
    // The outer frame's line runs down the left edge; the centre lies inside the inner
    // frame, which is stroked, not filled, so the card shows there.
    EXPECT_TRUE(sameColour(pixelAt(image, origin + QPoint(0, 40)), KivrenTheme::accent()));
    EXPECT_TRUE(sameColour(pixelAt(image, origin + QPoint(40, 40)), KivrenTheme::surface()));
    // The glyph is solid at its centre.
    const QPoint glyph = mark->markGeometry().glyphCentre.toPoint();
    EXPECT_TRUE(sameColour(pixelAt(image, origin + glyph), KivrenTheme::accent()));
}

struct FillCase
{
    const char *name;
    std::function<QWidget *()> make;
    bool pressed;
    std::function<QColor()> expected;
};

void PrintTo(const FillCase &row, std::ostream *out)
{
    *out << row.name;
}

class ControlFill : public ::testing::TestWithParam<FillCase> {};

// Sampled a quarter in from the left, half way down: inside the fill, clear of the label
// and of the outline.
TEST_P(ControlFill, Render_FillColourSampledFromPixels)
{
    Panel panel(400);
    QWidget *control = GetParam().make();
    panel.layout->addWidget(control, 0, Qt::AlignLeft);
    if (auto *button = qobject_cast<QAbstractButton *>(control))
        button->setDown(GetParam().pressed);
    const QImage image = panel.render();
    const QPoint sample = control->mapTo(panel.widget.get(), QPoint(6, control->height() / 2));
    EXPECT_TRUE(sameColour(pixelAt(image, sample), GetParam().expected()));
}

INSTANTIATE_TEST_SUITE_P(
    Controls, ControlFill,
    ::testing::Values(
        FillCase{"Primary", [] { return new KivrenPrimary(QStringLiteral("Connect")); }, false,
                 [] { return KivrenTheme::accent(); }},
        FillCase{"PrimaryPressed", [] { return new KivrenPrimary(QStringLiteral("Connect")); },
                 true, [] { return over(KivrenTheme::accent(), 0.86, KivrenTheme::surface()); }},
        FillCase{"Ghost", [] { return new KivrenGhost(QStringLiteral("Copy password")); }, false,
                 [] { return KivrenTheme::elevated(); }},
        FillCase{"GhostPressed", [] { return new KivrenGhost(QStringLiteral("Copy password")); },
                 true, [] { return KivrenTheme::elevated(); }},
        FillCase{"Field", [] { return new KivrenField(); }, false,
                 [] { return KivrenTheme::bg(); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(KivrenPrimary, Render_PressedShrinksAwayFromTheEdges)
{
    Panel panel(400);
    auto *button = new KivrenPrimary(QStringLiteral("Connect"));
    panel.layout->addWidget(button);
    panel.render();
    // One pixel inside the left edge, half way down.
    const QPoint edge = button->mapTo(panel.widget.get(), QPoint(1, 24));

    EXPECT_TRUE(sameColour(pixelAt(panel.render(), edge), KivrenTheme::accent()));
    button->setDown(true);
    // 98 % of 360 leaves 3.6 pixels of card showing on either side.
    EXPECT_TRUE(sameColour(pixelAt(panel.render(), edge), KivrenTheme::surface()));
    button->setDown(false);
    EXPECT_TRUE(sameColour(pixelAt(panel.render(), edge), KivrenTheme::accent()));
}

TEST(KivrenGhost, Render_OutlineOverTheFillAndPressedOnlyShrinks)
{
    Panel panel(400);
    auto *button = panel.add(new KivrenGhost(QStringLiteral("Save cloud")));
    QImage image = panel.render();
    const QPoint origin = button->mapTo(panel.widget.get(), QPoint(0, 0));
    // The half of the 1-point outline that survives the clip lightens the edge column.
    const QColor edge = pixelAt(image, origin + QPoint(0, 22));
    EXPECT_GT(edge.red(), KivrenTheme::elevated().red());
    EXPECT_LT(edge.red(), 60);

    button->setDown(true);
    image = panel.render();
    EXPECT_TRUE(sameColour(pixelAt(image, origin + QPoint(0, 22)), KivrenTheme::surface()));
    EXPECT_TRUE(sameColour(pixelAt(image, origin + QPoint(6, 22)), KivrenTheme::elevated()));
}

struct CornerCase
{
    const char *name;
    QRectF rect;
    qreal radius;
};

void PrintTo(const CornerCase &row, std::ostream *out)
{
    *out << row.name;
}

class CornerShape : public ::testing::TestWithParam<CornerCase> {};

TEST_P(CornerShape, Outline_FillsTheRectExceptEasedCorners)
{
    const auto &[name, rect, radius] = GetParam();
    const QPainterPath path = ContinuousCorners::roundedRect(rect, radius);
    EXPECT_NEAR(path.boundingRect().left(), rect.left(), 1e-6);
    EXPECT_NEAR(path.boundingRect().right(), rect.right(), 1e-6);
    EXPECT_NEAR(path.boundingRect().top(), rect.top(), 1e-6);
    EXPECT_NEAR(path.boundingRect().bottom(), rect.bottom(), 1e-6);
    EXPECT_TRUE(path.contains(rect.center()));

    const qreal r = std::min(radius, std::min(rect.width(), rect.height()) / 2);
    const QPointF corners[] = {rect.topLeft(), rect.topRight(), rect.bottomRight(),
                               rect.bottomLeft()};
    for (const QPointF &corner : corners) {
        const QPointF inward = (rect.center() - corner) / QLineF(corner, rect.center()).length();
        // Just inside a corner: outside the shape whenever there is any rounding.
        EXPECT_EQ(path.contains(corner + inward * 0.5), r <= 0);
        // A circular arc would pass 0.2929·r in from the corner along the diagonal; the
        // eased corner must stay close to it (within a quarter of r).
        if (r > 0) {
            const qreal diag = r * (1 - std::sqrt(0.5)) * std::sqrt(2.0);
            EXPECT_TRUE(path.contains(corner + inward * (diag + r * 0.25)));
            EXPECT_FALSE(path.contains(corner + inward * std::max(0.0, diag - r * 0.25)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CornerShape,
    ::testing::Values(CornerCase{"Control", QRectF(0, 0, 360, 48), 8},
                      CornerCase{"Card", QRectF(20, 20, 680, 300), 24},
                      CornerCase{"MarkFrame", QRectF(0.8, 0.8, 38.4, 38.4), 10.4},
                      CornerCase{"LimitedToCapsule", QRectF(0, 0, 100, 40), 80},
                      CornerCase{"NoRadius", QRectF(5, 5, 50, 50), 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ContinuousCorners, Outline_EasesIntoTheEdgeFurtherThanAnArc)
{
    // A circular corner of radius 20 is straight from 20 along the edge; the eased corner
    // still curves there, so the edge point at 1.2·r lies slightly outside the shape.
    const QPainterPath eased = ContinuousCorners::roundedRect(QRectF(0, 0, 200, 200), 20);
    EXPECT_FALSE(eased.contains(QPointF(200 - 1.2 * 20, 0.02)));
    EXPECT_TRUE(eased.contains(QPointF(200 - 1.7 * 20, 0.02)));
}
