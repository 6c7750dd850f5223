#include "ClickView.h"
#include "KivrenClient.h"
#include "KivrenGhost.h"
#include "KivrenTheme.h"
#include "RemoteDesktopView.h"
#include "RemotePicture.h"
#include "SettingsStore.h"

#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

using Kind = RemoteInput::Kind;

struct Mouse
{
    QEvent::Type type;
    Qt::MouseButton button;
    Qt::MouseButtons held; // buttons down after the event
    QPointF at;
};

RemoteInput expect(Kind kind, double x, double y, std::int64_t button)
{
    return RemoteInput{kind, x, y, button, 1, 0, 0};
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
    ClickView view([&](const RemoteInput &input) { sent.push_back(input); });
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
        ClickCase{"RightClickSendsNoMoves",
                  {800, 600},
                  {{Press, R, R, {100, 75}}, {Move, None, R, {200, 150}}, {Release, R, None, {200, 150}}},
                  {expect(Kind::down, 0.25, 0.25, 1), expect(Kind::up, 0.5, 0.5, 1)}},
        ClickCase{"DoubleClickIsTwoSingleClicks",
                  {800, 600},
                  {{Press, L, L, {100, 150}},
                   {Release, L, None, {100, 150}},
                   {Double, L, L, {100, 150}},
                   {Release, L, None, {100, 150}}},
                  {expect(Kind::down, 0.25, 0.5, 0), expect(Kind::up, 0.25, 0.5, 0),
                   expect(Kind::down, 0.25, 0.5, 0), expect(Kind::up, 0.25, 0.5, 0)}},
        ClickCase{"HoverAndOtherButtonsSendNothing",
                  {800, 600},
                  {{Move, None, None, {10, 10}}, {Press, M, M, {10, 10}}, {Move, None, M, {20, 20}},
                   {Release, M, None, {20, 20}}},
                  {}}),
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
    std::unique_ptr<RemoteDesktopView> view;

    void SetUp() override
    {
        // "close" from disconnect goes nowhere: nothing listens on port 1.
        client.setCloud(QStringLiteral("http://127.0.0.1:1"));
        view = std::make_unique<RemoteDesktopView>(
            client, [this](const RemoteInput &input) { sent.push_back(input); });
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

TEST_F(RemoteView, EndButton_DisconnectsOnceAndStatusFollowsTheClient)
{
    EXPECT_EQ(view->statusLabel()->text(), client.status());
    client.setRemoteId(QStringLiteral("12345678"));
    client.connectToRemote();
    EXPECT_EQ(view->statusLabel()->text(), QStringLiteral("Enter a 9-digit ID"));

    QSignalSpy statuses(&client, &KivrenClient::statusChanged);
    QTest::mouseClick(view->endButton(), Qt::LeftButton);
    ASSERT_EQ(statuses.count(), 1);
    EXPECT_EQ(client.status(), QStringLiteral("Disconnected"));
    EXPECT_EQ(view->statusLabel()->text(), QStringLiteral("Disconnected"));
    EXPECT_EQ(view->statusLabel()->palette().color(QPalette::WindowText), KivrenTheme::muted());
    EXPECT_TRUE(sent.empty());
}
