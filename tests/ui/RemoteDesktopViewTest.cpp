#include "ClickView.h"
#include "KivrenClient.h"
#include "KivrenGhost.h"
#include "KivrenTheme.h"
#include "RemoteDesktopView.h"
#include "RemotePicture.h"
#include "SettingsStore.h"

#include <QElapsedTimer>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QRegion>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

using Kind = RemoteInput::Kind;
using namespace SessionProtocol;

// A sink that keeps the pointer events it is given.
ClickView::Sink pointerSink(std::vector<RemoteInput> &sent)
{
    return [&sent](const ViewerMessage &message) {
        if (const auto *input = std::get_if<Input>(&message))
            sent.push_back(input->event);
    };
}

// "text <characters>", "key <codeName or :key> down|up <modifiers>", "input <kind> ...".
QString describe(const ViewerMessage &message)
{
    if (const auto *text = std::get_if<Text>(&message))
        return QStringLiteral("text ") + text->text;
    if (const auto *key = std::get_if<Key>(&message)) {
        QString line = QStringLiteral("key ") + (key->codeName.isEmpty() ? u':' + key->key : key->codeName)
            + (key->down ? QStringLiteral(" down") : QStringLiteral(" up"));
        if (!key->modifiers.isEmpty())
            line += u' ' + key->modifiers.names().join(u'+');
        return line;
    }
    if (const auto *input = std::get_if<Input>(&message)) {
        const RemoteInput &e = input->event;
        QString line = QStringLiteral("input %1 %2,%3 c%4 d%5,%6")
                           .arg(rawText(e.kind))
                           .arg(e.x)
                           .arg(e.y)
                           .arg(e.clickCount)
                           .arg(e.deltaX)
                           .arg(e.deltaY);
        if (!e.modifiers.isEmpty())
            line += u' ' + e.modifiers.names().join(u'+');
        return line;
    }
    return QStringLiteral("other");
}

struct Mouse
{
    QEvent::Type type;
    Qt::MouseButton button;
    Qt::MouseButtons held; // buttons down after the event
    QPointF at;
};

RemoteInput expect(Kind kind, double x, double y, std::int64_t button, std::int64_t clickCount = 1)
{
    return RemoteInput{kind, x, y, button, clickCount, 0, 0, {}};
}

void deliver(QWidget *target, const Mouse &m)
{
    QMouseEvent event(m.type, m.at, target->mapToGlobal(m.at), m.button, m.held, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

std::string describe(const std::vector<RemoteInput> &inputs)
{
    std::string text;
    for (const RemoteInput &i : inputs)
        text += rawText(i.kind).toStdString() + "(" + std::to_string(i.x) + "," + std::to_string(i.y)
                + ",b" + std::to_string(i.button) + ",c" + std::to_string(i.clickCount) + ") ";
    return text;
}

} // namespace

struct ClickCase
{
    const char *name;
    QSizeF picture; // the picture shown over the view; empty: none yet
    std::vector<Mouse> events;
    std::vector<RemoteInput> sent;
};

void PrintTo(const ClickCase &row, std::ostream *out)
{
    *out << row.name;
}

class ClickNormalisation : public ::testing::TestWithParam<ClickCase> {};

// A 400 × 300 click view: every event is measured over the picture where it is drawn (fitted
// and centred), or over the whole view before there is one; top-left origin.
TEST_P(ClickNormalisation, Events_BecomeClampedFractionsOfThePictureAsDrawn)
{
    std::vector<RemoteInput> sent;
    ClickView view(pointerSink(sent));
    view.resize(400, 300);
    view.setPictureSize(GetParam().picture);
    for (const Mouse &m : GetParam().events)
        deliver(&view, m);
    EXPECT_EQ(sent, GetParam().sent) << describe(sent);
}

constexpr auto Press = QEvent::MouseButtonPress;
constexpr auto Release = QEvent::MouseButtonRelease;
constexpr auto Move = QEvent::MouseMove;
constexpr auto Double = QEvent::MouseButtonDblClick;
constexpr auto L = Qt::LeftButton;
constexpr auto R = Qt::RightButton;
constexpr auto M = Qt::MiddleButton;
constexpr auto None = Qt::NoButton;

INSTANTIATE_TEST_SUITE_P(
    Table, ClickNormalisation,
    ::testing::Values(
        ClickCase{"CentreClick",
                  {800, 600},
                  {{Press, L, L, {200, 150}}, {Release, L, None, {200, 150}}},
                  {expect(Kind::down, 0.5, 0.5, 0), expect(Kind::up, 0.5, 0.5, 0)}},
        ClickCase{"CornersBeforeAnyPicture",
                  {},
                  {{Press, L, L, {0, 0}}, {Release, L, None, {400, 300}}},
                  {expect(Kind::down, 0, 0, 0), expect(Kind::up, 1, 1, 0)}},
        // A square picture drawn 300 × 300 at x 50: a quarter of the way in is x 125, not 100,
        // and the bands left and right land on the picture's edges.
        ClickCase{"BandsLeftAndRight",
                  {100, 100},
                  {{Press, L, L, {125, 75}}, {Release, L, None, {125, 75}},
                   {Press, L, L, {20, 150}}, {Release, L, None, {390, 150}}},
                  {expect(Kind::down, 0.25, 0.25, 0), expect(Kind::up, 0.25, 0.25, 0),
                   expect(Kind::down, 0, 0.5, 0), expect(Kind::up, 1, 0.5, 0)}},
        // A 16:9 picture drawn 400 × 225 at y 37.5.
        ClickCase{"BandsAboveAndBelow",
                  {1600, 900},
                  {{Press, L, L, {100, 93.75}}, {Move, None, L, {300, 10}}, {Release, L, None, {300, 290}}},
                  {expect(Kind::down, 0.25, 0.25, 0), expect(Kind::move, 0.75, 0, 0),
                   expect(Kind::up, 0.75, 1, 0)}},
        ClickCase{"DragPastTheEdgesStopsAtThem",
                  {800, 600},
                  {{Press, L, L, {200, 150}},
                   {Move, None, L, {300, 150}},
                   {Move, None, L, {520, 150}},
                   {Move, None, L, {-40, -30}},
                   {Release, L, None, {520, 360}}},
                  {expect(Kind::down, 0.5, 0.5, 0), expect(Kind::move, 0.75, 0.5, 0),
                   expect(Kind::move, 1, 0.5, 0), expect(Kind::move, 0, 0, 0),
                   expect(Kind::up, 1, 1, 0)}},
        // Only the left button drags: a move with the right one held is hovering.
        ClickCase{"RightButtonHeld_MovesAsHover",
                  {800, 600},
                  {{Press, R, R, {100, 75}}, {Move, None, R, {200, 150}}, {Release, R, None, {200, 150}}},
                  {expect(Kind::down, 0.25, 0.25, 1), expect(Kind::move, 0.5, 0.5, 0), expect(Kind::up, 0.5, 0.5, 1)}},
        ClickCase{"DoubleClickSecondPressCountsTwo",
                  {800, 600},
                  {{Press, L, L, {100, 150}},
                   {Release, L, None, {100, 150}},
                   {Double, L, L, {100, 150}},
                   {Release, L, None, {100, 150}}},
                  {expect(Kind::down, 0.25, 0.5, 0), expect(Kind::up, 0.25, 0.5, 0),
                   expect(Kind::down, 0.25, 0.5, 0, 2), expect(Kind::up, 0.25, 0.5, 0)}},
        // The first hover move goes at once (later ones are paced, see HoverMoves_PacedToTheNewest).
        ClickCase{"HoverMoves_OtherButtonsSendNothing",
                  {800, 600},
                  {{Move, None, None, {40, 30}}, {Press, M, M, {10, 10}}, {Release, M, None, {20, 20}}},
                  {expect(Kind::move, 0.1, 0.1, 0)}}),
    [](const auto &info) { return std::string(info.param.name); });

// A burst of hover moves: the first goes at once, the rest at most one per HoverPacing::interval,
// and the last one sent is the newest position.
TEST(ClickView, HoverMoves_PacedToTheNewest)
{
    std::vector<RemoteInput> sent;
    ClickView view(pointerSink(sent));
    view.resize(400, 300);
    view.setPictureSize({800, 600});
    QElapsedTimer burst;
    burst.start();
    constexpr int moves = 39;
    for (int i = 1; i <= moves; ++i)
        deliver(&view, {QEvent::MouseMove, Qt::NoButton, Qt::NoButton, {double(i * 10 % 400), 150}});
    const qint64 took = burst.elapsed();
    // At once, then at most one for each interval the burst took.
    EXPECT_LE(sent.size(), size_t(2 + took / HoverPacing::interval.count())) << describe(sent);
    EXPECT_EQ(sent.front(), expect(Kind::move, 0.025, 0.5, 0));
    const RemoteInput newest = expect(Kind::move, moves * 10 % 400 / 400.0, 0.5, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sent.back() == newest; }, 1000)) << describe(sent);
    const size_t count = sent.size();
    QTest::qWait(3 * HoverPacing::interval.count());
    EXPECT_EQ(sent.size(), count) << "nothing more once the newest went";
    EXPECT_LT(count, size_t(moves)) << describe(sent);
}

struct PointerCase
{
    const char *name;
    QSize shape;
    QPoint hotspot;
    QPointF position;
    QRectF drawn;      // where the picture is drawn
    QSizeF remoteSize; // the host display's size
    QRectF expected;
};

void PrintTo(const PointerCase &row, std::ostream *out)
{
    *out << row.name;
}

class PointerPlacement : public ::testing::TestWithParam<PointerCase> {};

// The pointer's tip lands on its position over the picture as drawn, its shape scaled as the
// display is.
TEST_P(PointerPlacement, Rect_TipAtThePositionScaledAsThePicture)
{
    const PointerCase &row = GetParam();
    QImage shape(row.shape, QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::white);
    EXPECT_EQ(RemotePicture::pointerRect(RemotePointer{shape, row.hotspot, row.position}, row.drawn, row.remoteSize),
              row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PointerPlacement,
    ::testing::Values(
        PointerCase{"NaturalSize", {16, 16}, {0, 0}, {0.5, 0.5}, {0, 0, 800, 600}, {800, 600}, {400, 300, 16, 16}},
        PointerCase{"HotspotPulledBack", {16, 16}, {4, 8}, {0.5, 0.5}, {0, 0, 800, 600}, {800, 600}, {396, 292, 16, 16}},
        // A 1600-wide display drawn 800 wide at x 100: everything at half size.
        PointerCase{"HalfScaleLetterboxed", {32, 32}, {8, 8}, {0.25, 1}, {100, 0, 800, 450}, {1600, 900}, {296, 446, 16, 16}},
        PointerCase{"DoubleScale", {10, 20}, {1, 1}, {0, 0}, {0, 0, 800, 600}, {400, 300}, {-2, -2, 20, 40}},
        PointerCase{"DisplaySizeUnknown_NaturalSize", {16, 16}, {0, 0}, {1, 1}, {0, 0, 800, 600}, {}, {800, 600, 16, 16}},
        PointerCase{"NoPicture_Nothing", {16, 16}, {0, 0}, {0.5, 0.5}, {}, {800, 600}, {}},
        PointerCase{"NoShape_Nothing", {}, {0, 0}, {0.5, 0.5}, {0, 0, 800, 600}, {800, 600}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ClickView, Normalise_UnlaidOutViewCountsAsOnePoint)
{
    EXPECT_EQ(ClickView::inputAt(Kind::down, {0.5, 0.25}, QRectF(), 0),
              expect(Kind::down, 0.5, 0.25, 0));
}

struct FitCase
{
    const char *name;
    QSizeF picture;
    QSizeF area;
    QRectF fitted;
};

void PrintTo(const FitCase &row, std::ostream *out)
{
    *out << row.name;
}

class PictureFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(PictureFit, Layout_OneScaleCentredNeverCropped)
{
    EXPECT_EQ(RemotePicture::fittedRect(GetParam().picture, GetParam().area), GetParam().fitted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PictureFit,
    ::testing::Values(FitCase{"BandsAboveAndBelow", {1280, 720}, {800, 600}, {0, 75, 800, 450}},
                      FitCase{"BandsLeftAndRightScaledUp", {100, 200}, {800, 400}, {300, 0, 200, 400}},
                      FitCase{"SameAspectFills", {1600, 900}, {800, 450}, {0, 0, 800, 450}},
                      FitCase{"EmptyPicture", {0, 0}, {800, 450}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// A remote desktop view in its own window, fed by a client that never goes live.
class RemoteView : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    SettingsStore settings{dir.filePath(QStringLiteral("settings.ini"))};
    KivrenClient client{settings, QStringLiteral("Test Mac")};
    std::vector<RemoteInput> sent;
    QStringList messages;
    std::unique_ptr<RemoteDesktopView> view;

    void SetUp() override
    {
        // "close" from disconnect goes nowhere: nothing listens on port 1.
        client.setCloud(QStringLiteral("http://127.0.0.1:1"));
        view = std::make_unique<RemoteDesktopView>(client, [this](const ViewerMessage &message) {
            messages << describe(message);
            if (const auto *input = std::get_if<Input>(&message))
                sent.push_back(input->event);
        });
        view->resize(800, 500);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }

    // Through the window, so the event finds its widget the way a real click does.
    void clickInWindow(QPoint at)
    {
        QTest::mouseClick(view->windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
    }
};

// Clicks reach the click view through the picture and the bands, measured over the picture.
TEST_F(RemoteView, Clicks_ReachTheClickViewThroughPictureAndBands)
{
    QWidget *area = view->pictureArea();
    const QSize size = area->size();
    ASSERT_GT(size.width(), size.height()); // a square picture leaves bands left and right
    const QPoint inBand = area->mapTo(view.get(), QPoint(size.width() / 16, size.height() / 2));
    const QPoint centre = area->mapTo(view.get(), QPoint(size.width() / 2, size.height() / 2));

    // Before any picture, on the waiting text.
    clickInWindow(centre);
    // With a square picture: in the letterbox band, then on the picture.
    QImage square(100, 100, QImage::Format_RGB32);
    square.fill(Qt::red);
    view->picture()->setImage(square);
    clickInWindow(inBand);
    clickInWindow(centre);

    // The pointer moved onto the window first: hovering, which is not what this test is about.
    std::erase_if(sent, [](const RemoteInput &input) { return input.kind == Kind::move; });
    ASSERT_EQ(sent.size(), 6u) << describe(sent);
    // The scale of the fit need not be exact in binary: fractions are compared to a hair.
    const auto near = [](const RemoteInput &input, Kind kind, double x, double y) {
        return input.kind == kind && std::abs(input.x - x) < 1e-9 && std::abs(input.y - y) < 1e-9;
    };
    const double midY = double(size.height() / 2) / size.height();
    EXPECT_TRUE(near(sent[0], Kind::down, double(size.width() / 2) / size.width(), midY)) << describe(sent);
    // The band is left of the picture: its left edge.
    EXPECT_TRUE(near(sent[2], Kind::down, 0, midY)) << describe(sent);
    EXPECT_TRUE(near(sent[3], Kind::up, 0, midY)) << describe(sent);
    // The square picture is as high as the area, centred across it.
    const double left = (size.width() - size.height()) / 2.0;
    EXPECT_TRUE(near(sent[4], Kind::down, (size.width() / 2 - left) / size.height(), midY)) << describe(sent);
}

struct ActualSizeCase
{
    const char *name;
    QSizeF remoteSize;
    QSizeF pictureSize;
    QSize area;
};

void PrintTo(const ActualSizeCase &row, std::ostream *out)
{
    *out << row.name;
}

class ActualSize : public ::testing::TestWithParam<ActualSizeCase> {};

TEST_P(ActualSize, Area_TheDisplaysOwnSize)
{
    EXPECT_EQ(PictureScale::actualSize(GetParam().remoteSize, GetParam().pictureSize), GetParam().area);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ActualSize,
    ::testing::Values(ActualSizeCase{"TheHellosSize", {1920, 1080}, {1280, 720}, {1920, 1080}},
                      ActualSizeCase{"FractionsRoundedUp", {1512.5, 982.2}, {1280, 832}, {1513, 983}},
                      ActualSizeCase{"BeforeAHello_ThePictures", {}, {1280, 800}, {1280, 800}},
                      ActualSizeCase{"NothingKnown_OnePoint", {}, {}, {1, 1}},
                      ActualSizeCase{"AbsurdSize_Bounded", {1e9, 1e9}, {}, {16384, 16384}}),
    [](const auto &info) { return std::string(info.param.name); });

// At the display's own size (the client's 1280 x 720 before any hello) the area scrolls, and a
// click through the window lands where it was aimed on the host, wherever the view is scrolled;
// back to fit, the area fills the view again.
TEST_F(RemoteView, ActualSize_ScrollsAndClicksLandOnTheScrolledPoint)
{
    QImage half(640, 360, QImage::Format_RGB32);
    half.fill(Qt::red);
    view->picture()->setImage(half);
    QTest::mouseClick(view->scaleButton(), Qt::LeftButton);
    EXPECT_EQ(view->scaleMode(), PictureScale::Mode::actualSize);
    EXPECT_EQ(view->scaleButton()->text(), RemoteDesktopView::fitText);
    EXPECT_EQ(view->pictureArea()->size(), QSize(1280, 720));
    QScrollArea *scroll = view->scrollArea();
    QTest::qWait(50);
    ASSERT_GT(scroll->horizontalScrollBar()->maximum(), 0);
    ASSERT_GT(scroll->verticalScrollBar()->maximum(), 0);

    for (const QPoint scrolled : {QPoint(0, 0), QPoint(300, 150)}) {
        scroll->horizontalScrollBar()->setValue(scrolled.x());
        scroll->verticalScrollBar()->setValue(scrolled.y());
        sent.clear();
        const QPoint inView(100, 80);
        clickInWindow(scroll->viewport()->mapTo(view.get(), inView));
        // The pointer moving there first goes as hovering; the press and release follow.
        std::erase_if(sent, [](const RemoteInput &input) { return input.kind == Kind::move; });
        ASSERT_EQ(sent.size(), 2u) << describe(sent);
        EXPECT_NEAR(sent[0].x, (scrolled.x() + inView.x()) / 1280.0, 1e-9) << describe(sent);
        EXPECT_NEAR(sent[0].y, (scrolled.y() + inView.y()) / 720.0, 1e-9) << describe(sent);
    }

    QTest::mouseClick(view->scaleButton(), Qt::LeftButton);
    EXPECT_EQ(view->scaleMode(), PictureScale::Mode::fit);
    EXPECT_EQ(view->scaleButton()->text(), RemoteDesktopView::actualSizeText);
    QTest::qWait(50);
    EXPECT_EQ(view->pictureArea()->size(), scroll->viewport()->size());
}

TEST_F(RemoteView, Picture_ScaledToFitWithBackgroundBands)
{
    QImage square(100, 100, QImage::Format_RGB32);
    square.fill(QColor(200, 40, 40));
    view->picture()->setImage(square);
    const QImage shot = view->pictureArea()->grab().toImage();
    const QSize size = view->pictureArea()->size();
    EXPECT_EQ(shot.pixel(size.width() / 2, size.height() / 2), qRgb(200, 40, 40));
    EXPECT_EQ(shot.pixel(5, size.height() / 2), KivrenTheme::bg().rgb());
    EXPECT_EQ(shot.pixel(size.width() - 5, size.height() / 2), KivrenTheme::bg().rgb());

    // Without a picture the waiting text is drawn, in muted, in the middle.
    view->picture()->setImage(QImage());
    const QImage waiting = view->pictureArea()->grab().toImage();
    bool text = false;
    for (int x = size.width() / 2 - 60; x < size.width() / 2 + 60; ++x)
        text = text || waiting.pixel(x, size.height() / 2) != KivrenTheme::bg().rgb();
    EXPECT_TRUE(text);
}

// A picture from before (the other computer not answering) is drawn greyed, and plainly again
// once it is live.
TEST_F(RemoteView, StalePicture_DrawnGreyed_PlainAgainWhenLive)
{
    // The background's opposite: unlike it in every channel.
    const QColor veil = KivrenTheme::bg();
    const QRgb live = qRgb(255 - veil.red(), 255 - veil.green(), 255 - veil.blue());
    QImage square(100, 100, QImage::Format_RGB32);
    square.fill(live);
    view->picture()->setImage(square);
    const QPoint middle(view->pictureArea()->width() / 2, view->pictureArea()->height() / 2);
    const auto shown = [&] { return view->pictureArea()->grab().toImage().pixel(middle); };
    EXPECT_FALSE(view->picture()->stale());

    view->picture()->setStale(true);
    const QColor greyed = QColor::fromRgb(shown());
    // Drawn towards the background in every channel.
    EXPECT_LT(std::abs(greyed.red() - veil.red()), std::abs(qRed(live) - veil.red()));
    EXPECT_LT(std::abs(greyed.green() - veil.green()), std::abs(qGreen(live) - veil.green()));
    EXPECT_LT(std::abs(greyed.blue() - veil.blue()), std::abs(qBlue(live) - veil.blue()));

    view->picture()->setStale(false);
    EXPECT_EQ(shown(), live);
}

// The areas a widget was asked to repaint, one per paint event.
class PaintRecorder : public QObject
{
public:
    QList<QRegion> regions;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            regions << static_cast<QPaintEvent *>(event)->region();
        return false;
    }
};

TEST_F(RemoteView, ChangedArea_RepaintsOnlyItsPartOfThePicture_OtherSizeRepaintsAll)
{
    RemotePicture *picture = view->picture();
    QImage image(200, 100, QImage::Format_RGB32);
    image.fill(Qt::blue);
    picture->setImage(image);
    PaintRecorder recorder;
    picture->installEventFilter(&recorder);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder.regions.isEmpty(); }));
    QTest::qWait(50);
    recorder.regions.clear();

    // A 10 x 10 area changes.
    QImage next = image.copy();
    for (int y = 40; y < 50; ++y) {
        for (int x = 120; x < 130; ++x)
            next.setPixel(x, y, qRgb(220, 30, 30));
    }
    picture->updateImage(next, QRegion(120, 40, 10, 10));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder.regions.isEmpty(); }));
    QRegion painted;
    for (const QRegion &region : recorder.regions)
        painted += region;
    const QRectF fitted = RemotePicture::fittedRect(QSizeF(image.size()), QSizeF(picture->size()));
    const qreal scale = fitted.width() / image.width();
    const QRect changed = QRectF(fitted.topLeft() + QPointF(120, 40) * scale, QSizeF(10, 10) * scale).toAlignedRect();
    EXPECT_TRUE(painted.contains(changed)) << "painted " << painted.boundingRect().x() << "," << painted.boundingRect().y();
    // A few pixels past it, for the smoothing, and nothing more.
    EXPECT_TRUE(changed.adjusted(-6, -6, 6, 6).contains(painted.boundingRect()));
    const QImage shot = picture->grab().toImage();
    EXPECT_EQ(shot.pixel(changed.center()), qRgb(220, 30, 30));

    // Another size: everything again.
    recorder.regions.clear();
    picture->updateImage(QImage(100, 100, QImage::Format_RGB32), QRegion(0, 0, 1, 1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder.regions.isEmpty(); }));
    EXPECT_TRUE(recorder.regions.last().contains(picture->rect()));
}

TEST_F(RemoteView, EndButton_DisconnectsOnceAndStatusFollowsTheClient)
{
    EXPECT_EQ(view->statusLabel()->text(), client.status());
    client.setRemoteId(QStringLiteral("12345678"));
    client.connectToRemote();
    EXPECT_EQ(view->statusLabel()->text(), QStringLiteral("Enter the 9-digit ID shown on the other computer"));

    QSignalSpy statuses(&client, &KivrenClient::statusChanged);
    QTest::mouseClick(view->endButton(), Qt::LeftButton);
    ASSERT_EQ(statuses.count(), 1);
    EXPECT_EQ(client.status(), QStringLiteral("Disconnected"));
    EXPECT_EQ(view->statusLabel()->text(), QStringLiteral("Disconnected"));
    EXPECT_EQ(view->statusLabel()->palette().color(QPalette::WindowText), KivrenTheme::muted());
    EXPECT_TRUE(sent.empty());
}

// --- Keyboard and wheel ----------------------------------------------------------------------

struct KeyStroke
{
    QEvent::Type type;
    int key;
    Qt::KeyboardModifiers modifiers;
    const char *text = "";
    bool autoRepeat = false;
};

struct KeyCase
{
    const char *name;
    std::vector<KeyStroke> strokes;
    QStringList sent;
};

void PrintTo(const KeyCase &row, std::ostream *out)
{
    *out << row.name;
}

class KeyTranslation : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyTranslation, KeyEvents_BecomeTextKeysOrShortcuts)
{
    QStringList sent;
    ClickView view([&](const ViewerMessage &message) { sent << describe(message); });
    for (const KeyStroke &stroke : GetParam().strokes) {
        QKeyEvent event(stroke.type, stroke.key, stroke.modifiers, QString::fromUtf8(stroke.text), stroke.autoRepeat);
        QCoreApplication::sendEvent(&view, &event);
    }
    EXPECT_EQ(sent, GetParam().sent);
}

constexpr auto KeyDown = QEvent::KeyPress;
constexpr auto KeyUp = QEvent::KeyRelease;
constexpr Qt::KeyboardModifiers NoMods = Qt::NoModifier;
constexpr Qt::KeyboardModifiers Ctrl = Qt::ControlModifier;
constexpr Qt::KeyboardModifiers Shift = Qt::ShiftModifier;

INSTANTIATE_TEST_SUITE_P(
    Table, KeyTranslation,
    ::testing::Values(
        KeyCase{"LettersAreTextOnPressOnly",
                {{KeyDown, Qt::Key_A, NoMods, "a"}, {KeyUp, Qt::Key_A, NoMods, "a"}, {KeyDown, Qt::Key_A, Shift, "A"}},
                {"text a", "text A"}},
        KeyCase{"NamedKeyPressAndRelease",
                {{KeyDown, Qt::Key_Return, NoMods, "\r"}, {KeyUp, Qt::Key_Return, NoMods, "\r"}},
                {"key enter down", "key enter up"}},
        KeyCase{"FurtherKeys",
                {{KeyDown, Qt::Key_F5, NoMods}, {KeyUp, Qt::Key_F5, NoMods}, {KeyDown, Qt::Key_PageDown, NoMods}},
                {"key f5 down", "key f5 up", "key pagedown down"}},
        KeyCase{"ControlShortcutIsItsLetterWithControl",
                {{KeyDown, Qt::Key_Control, Ctrl},
                 {KeyDown, Qt::Key_C, Ctrl, "\x03"},
                 {KeyUp, Qt::Key_C, Ctrl, "\x03"},
                 {KeyUp, Qt::Key_Control, NoMods}},
                {"key :c down control", "key :c up control"}},
        KeyCase{"ControlShiftShortcutKeepsBoth",
                {{KeyDown, Qt::Key_A, Ctrl | Shift, "\x01"}}, {"key :a down shift+control"}},
        KeyCase{"AltTabGoesToTheRemoteMachine",
                {{KeyDown, Qt::Key_Tab, Qt::AltModifier, "\t"}}, {"key tab down alt"}},
        KeyCase{"ShiftArrowSelects", {{KeyDown, Qt::Key_Left, Shift}}, {"key arrowleft down shift"}},
        KeyCase{"ShiftedSpaceIsASpace", {{KeyDown, Qt::Key_Space, Shift, " "}}, {"key space down"}},
        KeyCase{"ReleaseKeepsThePressModifiers",
                {{KeyDown, Qt::Key_Home, Shift}, {KeyUp, Qt::Key_Home, NoMods}},
                {"key home down shift", "key home up shift"}},
        KeyCase{"HeldKeyRepeatsItsPressOnly",
                {{KeyDown, Qt::Key_Backspace, NoMods, "\b"},
                 {KeyUp, Qt::Key_Backspace, NoMods, "\b", true},
                 {KeyDown, Qt::Key_Backspace, NoMods, "\b", true},
                 {KeyUp, Qt::Key_Backspace, NoMods, "\b"}},
                {"key backspace down", "key backspace down", "key backspace up"}},
        KeyCase{"ModifiersAloneAndUnknownKeysSendNothing",
                {{KeyDown, Qt::Key_Shift, Shift}, {KeyDown, Qt::Key_Meta, Qt::MetaModifier},
                 {KeyDown, Qt::Key_VolumeUp, NoMods}, {KeyDown, Qt::Key_Escape, Ctrl | Qt::AltModifier | Shift}},
                {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ClickView, InputMethodCommit_IsText)
{
    QStringList sent;
    ClickView view([&](const ViewerMessage &message) { sent << describe(message); });
    QInputMethodEvent composing(QStringLiteral("\u00b4"), {});
    QCoreApplication::sendEvent(&view, &composing);
    QInputMethodEvent committed;
    committed.setCommitString(QStringLiteral("\u00e9"));
    QCoreApplication::sendEvent(&view, &committed);
    EXPECT_EQ(sent, QStringList{QStringLiteral("text \u00e9")});
    EXPECT_TRUE(view.testAttribute(Qt::WA_InputMethodEnabled));
}

struct WheelCase
{
    const char *name;
    QPoint pixelDelta;
    QPoint angleDelta;
    QPointF pixels;
};

void PrintTo(const WheelCase &row, std::ostream *out)
{
    *out << row.name;
}

class WheelPixels : public ::testing::TestWithParam<WheelCase> {};

TEST_P(WheelPixels, Delta_IsPixelsOrFortyPerNotch)
{
    EXPECT_EQ(ClickView::wheelPixels(GetParam().pixelDelta, GetParam().angleDelta), GetParam().pixels);
}

INSTANTIATE_TEST_SUITE_P(Table, WheelPixels,
                         ::testing::Values(WheelCase{"NotchDownIsMinusForty", {}, {0, -120}, {0, -40}},
                                           WheelCase{"TwoNotchesUp", {}, {0, 240}, {0, 80}},
                                           WheelCase{"HalfNotch", {}, {0, 60}, {0, 20}},
                                           WheelCase{"PixelDeltaWins", {3, -7}, {0, -120}, {3, -7}},
                                           WheelCase{"Sideways", {}, {-120, 0}, {-40, 0}}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ClickView, WheelAndClicks_CarryPositionCountAndModifiers)
{
    QStringList sent;
    ClickView view([&](const ViewerMessage &message) { sent << describe(message); });
    view.resize(400, 300);
    QWheelEvent wheel({100, 75}, view.mapToGlobal(QPointF(100, 75)), {}, {0, -120}, Qt::NoButton, Qt::ControlModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&view, &wheel);
    deliver(&view, {QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, {200, 150}});
    QMouseEvent shiftClick(QEvent::MouseButtonRelease, QPointF(200, 150), view.mapToGlobal(QPointF(200, 150)),
                           Qt::LeftButton, Qt::NoButton, Qt::ShiftModifier);
    QCoreApplication::sendEvent(&view, &shiftClick);
    EXPECT_EQ(sent, (QStringList{"input wheel 0.25,0.25 c1 d0,-40 control", "input down 0.5,0.5 c1 d0,0",
                                 "input up 0.5,0.5 c1 d0,0 shift"}));
}

// Full screen from the bar's button or F11 (while the keyboard is here); left by the button,
// F11, the release chord (the keyboard given back as well) and the view going away.
TEST_F(RemoteView, FullScreen_EnteredAndLeft)
{
    KivrenGhost *button = view->fullScreenButton();
    EXPECT_EQ(button->text(), RemoteDesktopView::fullScreenText);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_TRUE(view->isFullScreen());
    EXPECT_EQ(button->text(), RemoteDesktopView::leaveFullScreenText);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(view->isFullScreen());
    EXPECT_EQ(button->text(), RemoteDesktopView::fullScreenText);

    // The chord, while the picture has the keyboard.
    ClickView *surface = view->clickView();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return surface->keyboardTaken(); }, 5000));
    view->setFullScreen(true);
    QTest::keyClick(surface, Qt::Key_Escape, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_FALSE(view->isFullScreen());
    EXPECT_FALSE(surface->keyboardTaken());

    // F11 with the keyboard here, through the window as a key press arrives.
    QTest::keyClick(view->windowHandle(), Qt::Key_F11);
    EXPECT_TRUE(view->isFullScreen());
    QTest::keyClick(view->windowHandle(), Qt::Key_F11);
    EXPECT_FALSE(view->isFullScreen());

    view->setFullScreen(true);
    view->hide();
    EXPECT_FALSE(view->isFullScreen());
}

TEST_F(RemoteView, Keyboard_TakenWhenShownKeptForTabReleasedByChordOrButton)
{
    ClickView *surface = view->clickView();
    auto *other = new QLineEdit(view.get()); // something else that could take the focus
    other->setGeometry(0, 0, 10, 10);
    other->show();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return surface->keyboardTaken(); }, 5000));
    EXPECT_EQ(view->keyboardButton()->text(), RemoteDesktopView::releaseKeyboardText);

    // Tab and Shift+Tab stay with the picture and go to the remote machine.
    QTest::keyClick(surface, Qt::Key_Tab);
    QTest::keyClick(surface, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(surface->hasFocus());
    // A key still held when the keyboard is given back is released.
    QTest::keyPress(surface, Qt::Key_Left, Qt::ShiftModifier);
    QTest::keyClick(surface, Qt::Key_Escape, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_FALSE(surface->keyboardTaken());
    EXPECT_FALSE(surface->hasFocus());
    EXPECT_EQ(view->keyboardButton()->text(), RemoteDesktopView::takeKeyboardText);
    EXPECT_EQ(messages, (QStringList{"key tab down", "key tab up", "key tab down shift", "key tab up shift",
                                     "key arrowleft down shift", "key arrowleft up shift"}));

    // The button takes it back, and gives it back again.
    QTest::mouseClick(view->keyboardButton(), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return surface->keyboardTaken(); }, 5000));
    QTest::mouseClick(view->keyboardButton(), Qt::LeftButton);
    EXPECT_FALSE(surface->keyboardTaken());
}
