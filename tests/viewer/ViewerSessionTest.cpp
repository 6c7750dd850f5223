// One viewer session on its own, against canned switchboard answers: what it reports, the caps
// answer to a hello, silence once stopped, and the changed areas drawn onto its picture.
#include "CannedSwitchboard.h"
#include "TestPictures.h"

#include "BackgroundWorker.h"
#include "Base64.h"
#include "KivrenAPI.h"
#include "OwnedTask.h"
#include "ViewerSession.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QRegion>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace {

// Every report, as text, in order.
class RecordingListener : public ViewerSession::Listener
{
public:
    QString cloudURL() const override { return cloud; }
    Transport transport() const override { return m_transport; }
    void setPhase(SessionPhase phase) override { log << "phase " + rawText(phase); }
    void setStatus(const QString &status) override { log << "status " + status; }
    void setError(const std::optional<QString> &error) override { log << "error " + error.value_or("none"); }
    void setHostName(const QString &name) override { log << "host " + name; }
    void setTransport(Transport transport) override
    {
        m_transport = transport;
        log << "transport " + rawText(transport);
    }
    void remember(const QString &id, const QString &name, const QString &deviceToken) override
    {
        log << "remember " + id + " " + name + (deviceToken.isEmpty() ? QString() : " token " + deviceToken);
    }
    void setFrame(const QImage &frame, const QRegion &changed) override
    {
        log << QStringLiteral("frame %1x%2").arg(frame.width()).arg(frame.height());
        picture = frame;
        areas << changed;
    }
    void setRemoteSize(const QSizeF &size) override { log << QStringLiteral("size %1x%2").arg(size.width()).arg(size.height()); }
    void setPictureStale(bool stale) override { log << QStringLiteral("stale %1").arg(stale); }
    void setRemotePointer(const RemotePointer &pointer) override
    {
        log << QStringLiteral("pointer %1x%2 tip %3,%4 at %5,%6")
                   .arg(pointer.image.width())
                   .arg(pointer.image.height())
                   .arg(pointer.hotspot.x())
                   .arg(pointer.hotspot.y())
                   .arg(pointer.position.x())
                   .arg(pointer.position.y());
    }

    QString cloud;
    QStringList log;
    QImage picture;
    QList<QRegion> areas;

private:
    Transport m_transport = Transport::relay;
};

QByteArray helloAnswer(const QJsonObject &hello)
{
    const QByteArray payload = Base64::encode(QJsonDocument(hello).toJson(QJsonDocument::Compact));
    const QJsonObject frame{{"kind", "json"}, {"payload", QString::fromLatin1(payload)}};
    return QJsonDocument(QJsonObject{{"frames", QJsonArray{frame}}, {"since", 4}}).toJson(QJsonDocument::Compact);
}

class ViewerSessionTest : public ::testing::Test
{
protected:
    ViewerSessionTest()
        : api(board.origin())
    {
        listener.cloud = board.origin();
        board.setReply(QStringLiteral("lookup"), {{"found", true}, {"online", true}, {"name", "Desk PC"}});
        board.setReply(QStringLiteral("connect"), {{"sessionId", "s1"}, {"sessionToken", "t1"}, {"transport", "lan"}});
    }

    ~ViewerSessionTest() override
    {
        session.reset();
        QTest::qWait(20);
    }

    // `decodeOnWorker`: the pictures are decoded on `worker`, as the client has them decoded.
    void start(SessionFeatures offered = ViewerSession::offeredFeatures(), bool decodeOnWorker = false)
    {
        ViewerSession::Options options;
        options.api = &api;
        options.listener = &listener;
        options.worker = decodeOnWorker ? &worker : nullptr;
        options.clientName = QStringLiteral("Test Mac");
        options.id = QStringLiteral("123456789");
        options.password = QStringLiteral("ABCD-EFGH");
        options.pushLifetime = pushes.get_token();
        options.offered = std::move(offered);
        session.start(std::move(options));
    }

    static bool waitFor(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 10000); }

    CannedSwitchboard board;
    KivrenAPI api;
    RecordingListener listener;
    std::stop_source pushes;
    // Goes after the session.
    BackgroundWorker worker;
    OwnedTask<ViewerSession> session;
};

TEST_F(ViewerSessionTest, Run_ReportsEachStepAndPollsWithTheAnswersCursor)
{
    board.setReplies(QStringLiteral("poll"), {{200, helloAnswer({{"type", "hello"}, {"width", 1920}, {"height", 1080}})},
                                              {200, "{}"}});
    start(SessionFeatures());
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 2; }));

    EXPECT_EQ(listener.log, (QStringList{"phase authenticating", "status Checking the password\u2026", "host Desk PC", "transport lan",
                                         "remember 123456789 Desk PC", "phase live", "status Connected to Desk PC",
                                         "size 1920x1080"}));
    EXPECT_EQ(board.requests(QStringLiteral("poll")).value(1).body,
              (QJsonObject{{"sessionId", "s1"}, {"token", "t1"}, {"role", "viewer"}, {"since", 4}}));
    EXPECT_EQ(session->keys(), (SessionProtocol::SessionKeys{"s1", "t1"}));
    EXPECT_TRUE(session->peerFeatures().isEmpty());
    EXPECT_TRUE(board.requests(QStringLiteral("push")).isEmpty());
}

TEST_F(ViewerSessionTest, Hello_AnsweredWithCapsWhenTheViewerOffersAdditions)
{
    const QJsonObject hello{{"type", "hello"}, {"width", 800}, {"height", 600}, {"features", QJsonArray{"tiles", "x"}}};
    board.setReplies(QStringLiteral("poll"), {{200, helloAnswer(hello)}, {200, "{}"}});
    start({"tiles", "modifiers"});
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("push")).size() == 1; }));

    // {"features":["modifiers","tiles"],"type":"caps"}
    EXPECT_EQ(board.requests(QStringLiteral("push")).value(0).bytes,
              R"({"kind":"json","role":"viewer","sessionId":"s1","token":"t1","payload":"eyJmZWF0dXJlcyI6WyJtb2RpZmllcnMiLCJ0aWxlcyJdLCJ0eXBlIjoiY2FwcyJ9"})");
    EXPECT_TRUE(session->peerSupports(u"tiles"));
    EXPECT_FALSE(session->peerSupports(u"modifiers"));
}

// The host's pointer: a position before any shape draws nothing, a later position keeps the
// shape, and the next session starts without one.
TEST_F(ViewerSessionTest, Pointer_ShapeKeptAcrossMoves_NoneBeforeAShape)
{
    using namespace SessionProtocol;
    QImage arrow(10, 16, QImage::Format_ARGB32);
    arrow.fill(Qt::white);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    arrow.save(&buffer, "PNG");
    const auto frameOf = [](const Cursor &cursor) {
        const Envelope envelope = encode(HostMessage{cursor});
        return QJsonObject{{"kind", envelope.kind}, {"payload", QString::fromLatin1(envelope.base64)}};
    };
    board.setReplies(QStringLiteral("poll"), {{200, "{}"}});
    start();
    ASSERT_TRUE(waitFor([&] { return listener.log.contains("phase live"); }));
    listener.log.clear();
    session->applyPollAnswer(QJsonObject{{"frames", QJsonArray{frameOf(Cursor{0.1, 0.1, {}, {}}),
                                                                frameOf(Cursor{0.25, 0.5, png, QPoint(1, 2)}),
                                                                frameOf(Cursor{0.75, 1, {}, {}})}}},
                             std::stop_token());
    EXPECT_EQ(listener.log, (QStringList{"pointer 10x16 tip 1,2 at 0.25,0.5", "pointer 10x16 tip 1,2 at 0.75,1"}));
}

TEST_F(ViewerSessionTest, Pictures_LargerThanTheHelloAllowsAreRefused)
{
    // Three pixels per point: a 200 x 100 display gives pictures of at most 600 x 300. Before the
    // hello only the display-sized bound holds. One answer each: a later picture of the same
    // answer would cover them.
    const auto answer = [](const QJsonArray &frames) {
        return CannedSwitchboard::Reply{200, QJsonDocument(QJsonObject{{"frames", frames}}).toJson()};
    };
    const auto picture = [](QSize size) {
        return QJsonObject{{"kind", "jpeg"}, {"payload", QString::fromLatin1(Base64::encode(TestPictures::jpeg(size, Qt::red)))}};
    };
    const QJsonObject hello{{"type", "hello"}, {"width", 200}, {"height", 100}};
    const QJsonObject helloFrame{{"kind", "json"}, {"payload", QString::fromLatin1(Base64::encode(QJsonDocument(hello).toJson()))}};
    board.setReplies(QStringLiteral("poll"), {answer({picture({640, 320})}), answer({helloFrame, picture({601, 300})}),
                                              answer({picture({600, 301})}), answer({picture({600, 300})}), {200, "{}"}});
    start();
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 5; }));

    EXPECT_EQ(listener.log.filter(QRegularExpression("^(frame|size) ")),
              (QStringList{"frame 640x320", "size 200x100", "frame 600x300"}));
}

// The session's pictures are decoded on the worker it was lent: while a host's 8K picture is
// decoded there, the window's event loop keeps turning.
TEST_F(ViewerSessionTest, Pictures_DecodedOnTheWorkerWhileTheEventLoopTurns)
{
    const QJsonObject hello{{"type", "hello"}, {"width", 2560}, {"height", 1440}};
    const QJsonArray frames{
        QJsonObject{{"kind", "json"}, {"payload", QString::fromLatin1(Base64::encode(QJsonDocument(hello).toJson()))}},
        QJsonObject{{"kind", "jpeg"}, {"payload", QString::fromLatin1(Base64::encode(TestPictures::tinyEightK()))}}};
    board.setReplies(QStringLiteral("poll"),
                     {{200, QJsonDocument(QJsonObject{{"frames", frames}}).toJson()}, {200, "{}"}});
    int ticksWhileDecoding = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ticksWhileDecoding += worker.pendingCount() > 0 ? 1 : 0; });
    timer.start(5);
    start(ViewerSession::offeredFeatures(), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return listener.log.contains("frame 7680x4320"); }, 120000));

    EXPECT_EQ(listener.log.filter(QRegularExpression("^(frame|size) ")), (QStringList{"size 2560x1440", "frame 7680x4320"}));
    EXPECT_GE(ticksWhileDecoding, 3);
}

// Stopped while its pictures are decoded: the decode's outcome is dropped, nothing reported.
TEST_F(ViewerSessionTest, StoppedWhileDecoding_WritesNothingMore)
{
    const QJsonArray frames{
        QJsonObject{{"kind", "jpeg"}, {"payload", QString::fromLatin1(Base64::encode(TestPictures::tinyEightK()))}}};
    board.setReplies(QStringLiteral("poll"), {{200, QJsonDocument(QJsonObject{{"frames", frames}}).toJson()}, {200, "{}"}});
    start(ViewerSession::offeredFeatures(), true);
    ASSERT_TRUE(waitFor([&] { return worker.pendingCount() > 0; }));
    const QStringList before = listener.log;

    session.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return worker.pendingCount() == 0; }, 120000));
    QTest::qWait(50);
    EXPECT_EQ(listener.log, before);
}

TEST_F(ViewerSessionTest, Stopped_WritesNothingMore)
{
    board.hold(QStringLiteral("connect"));
    start();
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    const QStringList before = listener.log;

    session.reset();
    board.releaseHeld(200, R"({"sessionId":"s1","sessionToken":"t1"})");
    QTest::qWait(150);

    EXPECT_EQ(listener.log, before);
    EXPECT_TRUE(board.requests(QStringLiteral("poll")).isEmpty());
}

// --- Changed areas ------------------------------------------------------------------------

// Poll answers straight into a session that never reached a switchboard: a 64 x 48 blue picture
// and 16 x 16 tiles of other colours drawn onto it.
const QSize pictureSize(64, 48);
const QColor base(Qt::blue);

QJsonObject pictureFrame(QColor colour, QSize size = pictureSize)
{
    return {{"kind", "jpeg"}, {"payload", QString::fromLatin1(Base64::encode(TestPictures::jpeg(size, colour)))}};
}

SessionProtocol::Tile tile(QPoint at, QColor colour, QSize size = {16, 16})
{
    return {at, TestPictures::jpeg(size, colour)};
}

QJsonObject tilesFrame(QList<SessionProtocol::Tile> tiles, QSize size = pictureSize)
{
    const SessionProtocol::Envelope envelope = SessionProtocol::encode(SessionProtocol::Tiles{size, std::move(tiles)});
    return {{"kind", envelope.kind}, {"payload", QString::fromLatin1(envelope.base64)}};
}

struct Patch
{
    QRect area;
    QColor colour;
};

struct TilesCase
{
    const char *name;
    // The frames of each poll answer, in turn.
    std::function<QList<QJsonArray>()> answers;
    // Each published picture's changed area; the last picture shows `base` with `patches` on it.
    QList<QRegion> areas;
    QList<Patch> patches;

    friend void PrintTo(const TilesCase &c, std::ostream *os) { *os << c.name; }
};

class ViewerSessionTiles : public ::testing::TestWithParam<TilesCase>
{
protected:
    ViewerSession::Options options()
    {
        ViewerSession::Options options;
        options.listener = &listener;
        return options;
    }

    RecordingListener listener;
    ViewerSession session{options()};
};

// Whether every pixel is within JPEG error of the colour its patch (or the base) gives it.
bool shows(const QImage &picture, const QList<Patch> &patches, QString *where)
{
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            QColor want = base;
            for (const Patch &patch : patches) {
                if (patch.area.contains(x, y))
                    want = patch.colour;
            }
            const QRgb got = picture.pixel(x, y);
            if (std::abs(qRed(got) - want.red()) > 12 || std::abs(qGreen(got) - want.green()) > 12
                || std::abs(qBlue(got) - want.blue()) > 12) {
                *where = QStringLiteral("%1,%2 is #%3").arg(x).arg(y).arg(got & 0xFFFFFF, 6, 16, QChar(u'0'));
                return false;
            }
        }
    }
    return true;
}

TEST_P(ViewerSessionTiles, Answers_ComposeThePictureOrLeaveItWhole)
{
    const TilesCase &c = GetParam();
    for (const QJsonArray &frames : c.answers())
        session.applyPollAnswer(QJsonObject{{"frames", frames}}, std::stop_token());

    EXPECT_EQ(listener.areas, c.areas);
    if (c.areas.isEmpty())
        return;
    ASSERT_EQ(listener.picture.size(), pictureSize);
    QString where;
    EXPECT_TRUE(shows(listener.picture, c.patches, &where)) << where.toStdString();
}

const QRegion whole(QRect(QPoint(), pictureSize));
const QRect left(16, 16, 16, 16);
const QRect right(32, 16, 16, 16);

INSTANTIATE_TEST_SUITE_P(
    Table, ViewerSessionTiles,
    ::testing::Values(
        TilesCase{"TilesDrawnOntoThePicture",
                  [] { return QList<QJsonArray>{{pictureFrame(base)}, {tilesFrame({tile({16, 16}, Qt::red)})}}; },
                  {whole, QRegion(left)},
                  {{left, Qt::red}}},
        TilesCase{"FramesOfOneAnswerInOrderPublishedOnce",
                  [] {
                      return QList<QJsonArray>{{pictureFrame(base)},
                                               {tilesFrame({tile({16, 16}, Qt::red), tile({32, 16}, Qt::yellow)}),
                                                tilesFrame({tile({16, 16}, Qt::green)})}};
                  },
                  {whole, QRegion(left) + right},
                  {{left, Qt::green}, {right, Qt::yellow}}},
        TilesCase{"PictureAndItsTilesInOneAnswer",
                  [] { return QList<QJsonArray>{{pictureFrame(base), tilesFrame({tile({32, 16}, Qt::red)})}}; },
                  {whole},
                  {{right, Qt::red}}},
        TilesCase{"PictureAfterTilesReplacesEverything",
                  [] {
                      return QList<QJsonArray>{{pictureFrame(Qt::red)}, {tilesFrame({tile({16, 16}, Qt::green)})},
                                               {pictureFrame(base)}};
                  },
                  {whole, QRegion(left), whole},
                  {}},
        TilesCase{"TilesBeforeAnyPictureDropped",
                  [] { return QList<QJsonArray>{{tilesFrame({tile({16, 16}, Qt::red)})}}; }, {}, {}},
        TilesCase{"TilesOfAnotherPictureSizeDropped",
                  [] {
                      return QList<QJsonArray>{{pictureFrame(base)},
                                               {tilesFrame({tile({16, 16}, Qt::red)}, QSize(64, 64))}};
                  },
                  {whole},
                  {}},
        TilesCase{"FrameWithATileThatDoesNotDecodeDroppedWhole",
                  [] {
                      return QList<QJsonArray>{
                          {pictureFrame(base)},
                          {tilesFrame({tile({16, 16}, Qt::red), SessionProtocol::Tile{{32, 16}, "not a jpeg"}}),
                           tilesFrame({tile({32, 16}, Qt::red)})}};
                  },
                  {whole, QRegion(right)},
                  {{right, Qt::red}}},
        TilesCase{"FrameWithATileReachingPastTheEdgeDroppedWhole",
                  [] {
                      return QList<QJsonArray>{{pictureFrame(base)},
                                               {tilesFrame({tile({16, 16}, Qt::red), tile({56, 40}, Qt::red)})}};
                  },
                  {whole},
                  {}},
        TilesCase{"FrameCoveringMoreThanThePictureDroppedWhole",
                  [] {
                      return QList<QJsonArray>{{pictureFrame(base)},
                                               {tilesFrame({tile({0, 0}, Qt::red, pictureSize), tile({16, 16}, Qt::red)})}};
                  },
                  {whole},
                  {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
