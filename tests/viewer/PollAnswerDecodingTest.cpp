// What one poll answer costs the viewer: every JPEG checked by its header, all of one answer's
// JPEGs decoded only up to their budget, and a storm of tiny tiles stating 8K pictures decoded
// within it on the worker thread while the window's event loop goes on.
#include "TestPictures.h"

#include "BackgroundWorker.h"
#include "Base64.h"
#include "PictureBound.h"
#include "PollAnswerDecoding.h"

#include <QBuffer>
#include <QCoroTask>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <ostream>

namespace {

using namespace SessionProtocol;

QJsonObject frameOf(const Envelope &envelope)
{
    return {{"kind", envelope.kind}, {"payload", QString::fromLatin1(envelope.base64)}};
}

QJsonObject pictureFrame(QSize size, QColor colour)
{
    return frameOf(encode(HostMessage{Picture{TestPictures::jpeg(size, colour)}}));
}

QJsonObject tilesFrame(QSize picture, QByteArray jpeg)
{
    return frameOf(encode(HostMessage{Tiles{picture, {Tile{QPoint(0, 0), std::move(jpeg)}}}}));
}

QJsonObject helloFrame(double width, double height)
{
    return frameOf(encode(HostMessage{Hello{width, height, platformName, {}}}));
}

// A 16 x 16 point display: pictures of at most 48 x 48 pixels, two of them per answer.
const QSize side48(48, 48);
const QSize bound48 = PictureBound::forHello(16, 16);

struct BudgetCase
{
    const char *name;
    QSize bound; // before the answer
    QJsonArray frames;
    qint64 pixels;          // decoded in all
    QStringList steps;      // "hello" or "shown"
    QColor shown;           // what the picture shows at the end
};

void PrintTo(const BudgetCase &row, std::ostream *out)
{
    *out << row.name;
}

class PollAnswerBudget : public ::testing::TestWithParam<BudgetCase>
{
};

TEST_P(PollAnswerBudget, Decode_StopsAtTheAnswersBudget_WithoutDecodingWhatIsBeyond)
{
    const BudgetCase &row = GetParam();
    QImage picture(side48, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    const PollAnswerDecoding::Outcome outcome =
        PollAnswerDecoding::decode(QJsonObject{{"frames", row.frames}}, {picture, row.bound}, std::stop_token());

    EXPECT_EQ(outcome.pixelsDecoded, row.pixels);
    QStringList steps;
    for (const PollAnswerDecoding::Step &step : outcome.steps)
        steps << (std::holds_alternative<Hello>(step) ? QStringLiteral("hello") : QStringLiteral("shown"));
    EXPECT_EQ(steps, row.steps);
    const QRgb centre = outcome.picture.pixel(24, 24);
    EXPECT_LE(std::abs(qRed(centre) - row.shown.red()) + std::abs(qGreen(centre) - row.shown.green())
                  + std::abs(qBlue(centre) - row.shown.blue()),
              30)
        << std::hex << centre;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PollAnswerBudget,
    ::testing::Values(
        BudgetCase{"TilesWithinTheBudgetDrawn",
                   bound48,
                   {tilesFrame(side48, TestPictures::jpeg(side48, Qt::red))},
                   48 * 48,
                   {"shown"},
                   Qt::red},
        BudgetCase{"TilesPastTheBudgetDropped",
                   bound48,
                   {tilesFrame(side48, TestPictures::jpeg(side48, Qt::red)),
                    tilesFrame(side48, TestPictures::jpeg(side48, Qt::green)),
                    tilesFrame(side48, TestPictures::jpeg(side48, Qt::yellow))},
                   2 * 48 * 48,
                   {"shown"},
                   Qt::green},
        BudgetCase{"PictureAndTilesShareIt",
                   bound48,
                   {pictureFrame(side48, Qt::white), tilesFrame(side48, TestPictures::jpeg(side48, Qt::red)),
                    tilesFrame(side48, TestPictures::jpeg(side48, Qt::green))},
                   2 * 48 * 48,
                   {"shown"},
                   Qt::red},
        BudgetCase{"HelloLowersWhatIsLeft",
                   PictureBound::beforeHello(),
                   {helloFrame(16, 16), tilesFrame(side48, TestPictures::jpeg(side48, Qt::red)),
                    tilesFrame(side48, TestPictures::jpeg(side48, Qt::green)),
                    tilesFrame(side48, TestPictures::jpeg(side48, Qt::yellow))},
                   2 * 48 * 48,
                   {"hello", "shown"},
                   Qt::green},
        BudgetCase{"StatedSizeBeyondTheBoundNeverDecoded",
                   bound48,
                   {tilesFrame(side48, TestPictures::tinyEightK())},
                   0,
                   {},
                   Qt::blue}),
    [](const auto &info) { return std::string(info.param.name); });

struct Decoded
{
    bool done = false;
    std::optional<PollAnswerDecoding::Outcome> outcome;
};

QCoro::Task<> decodeOnWorker(BackgroundWorker &worker, QJsonObject answer, PollAnswerDecoding::Start start,
                             std::atomic<bool> &decoding, Decoded &out)
{
    out.outcome = co_await worker.run(
        [answer = std::move(answer), start = std::move(start), &decoding](std::stop_token stop) {
            decoding = true;
            PollAnswerDecoding::Outcome outcome = PollAnswerDecoding::decode(answer, start, stop);
            decoding = false;
            return outcome;
        },
        std::stop_token());
    out.done = true;
}

// After a 2560 x 1440 hello, an answer of 100 tiles frames, each a 107-byte JPEG stating a whole
// 7680 x 4320 picture: decoded up to its budget, two such pictures, and never on the window's
// thread, whose timer keeps firing meanwhile.
TEST(PollAnswerDecoding, TilesStorm_DecodedWithinItsBudgetWhileTheEventLoopTurns)
{
    const QSize bound = PictureBound::forHello(2560, 1440);
    ASSERT_EQ(bound, QSize(7680, 4320));
    QImage picture(bound, QImage::Format_RGB32);
    picture.fill(Qt::gray);
    QJsonArray frames;
    for (int i = 0; i < 100; ++i)
        frames.append(tilesFrame(bound, TestPictures::tinyEightK()));

    std::atomic<bool> decoding = false;
    int ticks = 0;
    int ticksWhileDecoding = 0;
    qint64 longestGapMs = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        ticksWhileDecoding += decoding ? 1 : 0;
        longestGapMs = std::max(longestGapMs, sinceTick.restart());
    });
    timer.start(5);

    BackgroundWorker worker;
    Decoded decoded;
    QElapsedTimer elapsed;
    elapsed.start();
    QCoro::Task<> task = decodeOnWorker(worker, QJsonObject{{"frames", frames}}, {picture, bound}, decoding, decoded);
    ASSERT_TRUE(QTest::qWaitFor([&] { return decoded.done; }, 120000));
    std::cout << "storm answer decoded in " << elapsed.elapsed() << " ms; the timer fired " << ticks << " times, "
              << ticksWhileDecoding << " of them while decoding, at most " << longestGapMs << " ms apart\n";

    ASSERT_TRUE(decoded.outcome);
    EXPECT_EQ(decoded.outcome->pixelsDecoded, PictureBound::answerPixels(bound));
    EXPECT_EQ(decoded.outcome->pixelsDecoded, 2 * qint64(7680) * 4320);
    ASSERT_EQ(decoded.outcome->steps.size(), 1);
    EXPECT_GE(ticksWhileDecoding, 5);
}

} // namespace

namespace {

QByteArray pngOf(QSize size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(QColor(10, 20, 30, 128));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

QJsonObject cursorFrame(double x, double y, QByteArray png = {})
{
    return frameOf(encode(HostMessage{Cursor{x, y, std::move(png), QPoint(2, 3)}}));
}

// What each cursor message of an answer gives: "WxH@x,y" with a shape, "@x,y" without one.
struct PointerCase
{
    const char *name;
    QJsonArray frames;
    QStringList steps;
};

void PrintTo(const PointerCase &row, std::ostream *out)
{
    *out << row.name;
}

class PollAnswerPointer : public ::testing::TestWithParam<PointerCase>
{
};

TEST_P(PollAnswerPointer, Decode_ShapesWithinTheirBoundOnly)
{
    const PollAnswerDecoding::Outcome outcome =
        PollAnswerDecoding::decode(QJsonObject{{"frames", GetParam().frames}}, {QImage(), bound48}, std::stop_token());
    QStringList steps;
    for (const PollAnswerDecoding::Step &step : outcome.steps) {
        if (const auto *moved = std::get_if<PollAnswerDecoding::PointerMoved>(&step)) {
            const QString shape = moved->image.isNull()
                ? QString()
                : QStringLiteral("%1x%2").arg(moved->image.width()).arg(moved->image.height());
            steps << QStringLiteral("%1@%2,%3").arg(shape).arg(moved->position.x()).arg(moved->position.y());
        }
    }
    EXPECT_EQ(steps, GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PollAnswerPointer,
    ::testing::Values(
        PointerCase{"PositionOnly", {cursorFrame(0.25, 0.5)}, {"@0.25,0.5"}},
        PointerCase{"ShapeThenMoves", {cursorFrame(0, 0, pngOf({24, 32})), cursorFrame(1, 1)}, {"24x32@0,0", "@1,1"}},
        PointerCase{"LargestShape", {cursorFrame(0.5, 0.5, pngOf({256, 256}))}, {"256x256@0.5,0.5"}},
        PointerCase{"TooWideDropped", {cursorFrame(0.5, 0.5, pngOf({257, 8})), cursorFrame(0.75, 0.5)}, {"@0.75,0.5"}},
        PointerCase{"TooTallDropped", {cursorFrame(0.5, 0.5, pngOf({8, 4000}))}, {}},
        PointerCase{"NotAPngDropped", {cursorFrame(0.5, 0.5, QByteArray("\x89PNG\r\n\x1a\n broken", 15))}, {}},
        // A message without a numeric position is no cursor message.
        PointerCase{"NoPosition",
                    {QJsonObject{{"kind", "json"},
                                 {"payload", QString::fromLatin1(QByteArray(R"({"type":"cursor","x":"1"})").toBase64())}}},
                    {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
