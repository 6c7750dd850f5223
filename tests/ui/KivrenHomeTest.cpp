#include "HomeCard.h"
#include "KivrenClient.h"
#include "KivrenField.h"
#include "KivrenHome.h"
#include "KivrenPrimary.h"
#include "KivrenTheme.h"
#include "MacRootView.h"
#include "SettingsStore.h"
#include "UiTestSupport.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

QList<BookEntry> sampleBook()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return {{QStringLiteral("987654321"), QStringLiteral("Studio PC"), now},
            {QStringLiteral("112233445"), QStringLiteral("Mum's laptop"), now.addDays(-2)},
            {QStringLiteral("104857600"), QStringLiteral("Remote"), now.addDays(-9)}};
}

} // namespace

// A home screen over a client whose settings live in a temporary file.
class Home : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<KivrenClient> client;
    std::unique_ptr<KivrenHome> home;

    void SetUp() override { make({}); }

    void make(const QList<BookEntry> &book)
    {
        home.reset();
        client.reset();
        settings = std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("settings.ini")));
        if (!book.isEmpty())
            settings->setBytes(KivrenClient::bookKey, BookEntry::encodeList(book));
        client = std::make_unique<KivrenClient>(*settings, QStringLiteral("Test Mac"));
        home = std::make_unique<KivrenHome>(*client);
        home->resize(720, 900);
        home->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(home.get()));
    }

    void giveHost()
    {
        home->setHostId(QStringLiteral("123456789"));
        home->setHostPassword(QStringLiteral("ABCD-EFGH"));
        home->setHostStatus(QStringLiteral("Waiting for an internet address \u00b7 123 456 789"));
        home->setOnNewPass([] {});
    }

    template<typename W = QWidget>
    W *find(const char *name) const
    {
        W *w = home->findChild<W *>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    bool shown(const char *name) const { return find(name)->isVisibleTo(home.get()); }
};

struct CardsCase
{
    const char *name;
    bool hostId, hostPassword, hostStatus, newPass, book;
};

void PrintTo(const CardsCase &row, std::ostream *out)
{
    *out << row.name;
}

class HomeCards : public Home, public ::testing::WithParamInterface<CardsCase> {};

TEST_P(HomeCards, Visibility_FollowsTheHostValuesAndTheBook)
{
    const CardsCase c = GetParam();
    make(c.book ? sampleBook() : QList<BookEntry>{});
    home->setHostId(c.hostId ? std::optional(QStringLiteral("123456789")) : std::nullopt);
    home->setHostPassword(c.hostPassword ? std::optional(QStringLiteral("ABCD-EFGH")) : std::nullopt);
    home->setHostStatus(c.hostStatus ? std::optional(QStringLiteral("Getting ready\u2026"))
                                     : std::nullopt);
    home->setOnNewPass(c.newPass ? KivrenHome::Action([] {}) : KivrenHome::Action());

    EXPECT_EQ(shown("thisDevice"), c.hostId);
    // Inside the card, each piece follows its own value (the card hides them all at once).
    EXPECT_EQ(find("passwordCaption")->isVisibleTo(find("thisDevice")), c.hostPassword);
    EXPECT_EQ(find("hostPassword")->isVisibleTo(find("thisDevice")), c.hostPassword);
    EXPECT_EQ(find("hostStatusRow")->isVisibleTo(find("thisDevice")), c.hostStatus);
    EXPECT_EQ(find("newPassword")->isVisibleTo(find("thisDevice")), c.newPass);
    EXPECT_TRUE(find("copyId")->isVisibleTo(find("thisDevice")));
    EXPECT_TRUE(find("copyPassword")->isVisibleTo(find("thisDevice")));
    EXPECT_TRUE(shown("remoteDevice"));
    EXPECT_TRUE(shown("cloudAddress"));
    EXPECT_EQ(shown("addressBook"), c.book);

    // Without the host card the remote card is the first thing under the header.
    const int headerBottom = find("header")->geometry().bottom();
    const int firstCardTop = (c.hostId ? find("thisDevice") : find("remoteDevice"))->geometry().top();
    EXPECT_EQ(firstCardTop - headerBottom - 1, 20);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HomeCards,
    ::testing::Values(CardsCase{"Everything", true, true, true, true, true},
                      CardsCase{"NoHost", false, true, true, true, false},
                      CardsCase{"NoPassword", true, false, true, true, false},
                      CardsCase{"NoStatusNoNew", true, true, false, false, true},
                      CardsCase{"EmptyBook", true, true, true, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Home, ThisDevice_ShowsGroupedIdVerbatimPasswordAndRunsActions)
{
    giveHost();
    int copiedId = 0, copiedPass = 0, rotated = 0;
    home->setOnCopyId([&] { ++copiedId; });
    home->setOnCopyPass([&] { ++copiedPass; });
    home->setOnNewPass([&] { ++rotated; });

    auto *id = find<QLabel>("hostId");
    EXPECT_EQ(id->text(), QStringLiteral("123 456 789"));
    EXPECT_EQ(id->font().pixelSize(), 32);
    EXPECT_TRUE(QFontInfo(id->font()).fixedPitch());
    EXPECT_EQ(find<QLabel>("hostPassword")->text(), QStringLiteral("ABCD-EFGH"));
    EXPECT_EQ(find<QLabel>("hostStatus")->text(), QStringLiteral("Waiting for an internet address \u00b7 123 456 789"));

    QTest::mouseClick(find<QAbstractButton>("copyId"), Qt::LeftButton);
    QTest::mouseClick(find<QAbstractButton>("copyPassword"), Qt::LeftButton);
    QTest::mouseClick(find<QAbstractButton>("newPassword"), Qt::LeftButton);
    EXPECT_EQ(std::tuple(copiedId, copiedPass, rotated), std::tuple(1, 1, 1));

    // Absent actions do nothing; the buttons stay.
    home->setOnCopyId({});
    QTest::mouseClick(find<QAbstractButton>("copyId"), Qt::LeftButton);
    EXPECT_EQ(copiedId, 1);
}

struct FieldCase
{
    const char *field;
    QString (KivrenClient::*read)() const;
    void (KivrenClient::*write)(const QString &);
    const char *placeholder;
};

void PrintTo(const FieldCase &row, std::ostream *out)
{
    *out << row.field;
}

class HomeField : public Home, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(HomeField, Binding_EveryKeystrokeWritesAndClientChangesShowKeepingTheCursor)
{
    const FieldCase c = GetParam();
    auto *field = find<KivrenField>(c.field);
    EXPECT_EQ(field->placeholderText(), QString::fromUtf8(c.placeholder));
    EXPECT_EQ(field->echoMode(), QLineEdit::Normal);

    // Typing writes the whole text at every keystroke, unformatted and untrimmed: compacting is
    // the client's job, not the field's.
    field->setFocus();
    QTest::keyClicks(field, QStringLiteral(" 12-3 "));
    EXPECT_EQ((client.get()->*c.read)(), QStringLiteral(" 12-3 "));

    // The client's own value shows at once...
    (client.get()->*c.write)(QStringLiteral("987 654 321"));
    EXPECT_EQ(field->text(), QStringLiteral("987 654 321"));
    // ...and re-publishing the same text leaves the cursor where the user put it.
    field->setCursorPosition(3);
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ((client.get()->*c.read)(), QStringLiteral("98 654 321"));
    EXPECT_EQ(field->cursorPosition(), 2);

    // Return in the ID or password field connects (here refused: the ID has 8 digits, or none);
    // in the cloud field it changes nothing.
    const QString before = client->status();
    const bool connects = QString::fromUtf8(c.field) != QLatin1String("cloudField");
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(client->status(), connects ? QStringLiteral("Enter the 9-digit ID shown on the other computer") : before);
    EXPECT_EQ(client->phase(), SessionPhase::idle);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, HomeField,
    ::testing::Values(FieldCase{"remoteId", &KivrenClient::remoteId, &KivrenClient::setRemoteId,
                                "123 456 789"},
                      FieldCase{"remotePassword", &KivrenClient::remotePassword,
                                &KivrenClient::setRemotePassword, "XXXX-XXXX"},
                      FieldCase{"cloudField", &KivrenClient::cloudURL, &KivrenClient::setCloudURL,
                                "https://\u2026 or http://192.168.x.x:17880"}),
    [](const auto &info) { return std::string(info.param.field); });

TEST_F(Home, SaveCloud_StoresTheTrimmedTypedAddress)
{
    auto *cloud = find<KivrenField>("cloudField");
    cloud->setFocus();
    QTest::keyClicks(cloud, QStringLiteral("  http://192.168.1.20:17880/ "));
    QTest::mouseClick(find<QAbstractButton>("saveCloud"), Qt::LeftButton);
    EXPECT_EQ(client->cloudURL(), QStringLiteral("http://192.168.1.20:17880"));
    EXPECT_EQ(cloud->text(), QStringLiteral("http://192.168.1.20:17880"));
    EXPECT_EQ(settings->text(KivrenClient::cloudKey), QStringLiteral("http://192.168.1.20:17880"));
}

TEST_F(Home, BookRow_FillsTheIdFieldGroupedAndNothingElse)
{
    make(sampleBook());
    client->setRemotePassword(QStringLiteral("ABCD-EFGH"));
    const QString status = client->status();
    const auto rows = home->findChildren<QPushButton *>(QStringLiteral("bookRow"));
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0]->property("entryId").toString(), QStringLiteral("987654321"));
    EXPECT_TRUE(rows[1]->findChild<QLabel *>() != nullptr);

    QTest::mouseClick(rows[1], Qt::LeftButton);
    EXPECT_EQ(client->remoteId(), QStringLiteral("112 233 445"));
    EXPECT_EQ(find<KivrenField>("remoteId")->text(), QStringLiteral("112 233 445"));
    EXPECT_EQ(client->remotePassword(), QStringLiteral("ABCD-EFGH"));
    EXPECT_EQ(client->phase(), SessionPhase::idle);
    // Only the hint follows the ID now typed.
    EXPECT_NE(client->status(), status);
    EXPECT_EQ(client->status(), QStringLiteral("Press Enter or Connect"));

    // Each row shows the name over the grouped ID.
    QStringList texts;
    for (QLabel *l : rows[0]->findChildren<QLabel *>())
        texts << l->text();
    EXPECT_EQ(texts, QStringList({QStringLiteral("Studio PC"), QStringLiteral("987 654 321")}));
    // The ID line is drawn muted: no pixel of it is brighter than the muted colour.
    QLabel *idLine = rows[0]->findChildren<QLabel *>().at(1);
    const QImage shot = idLine->grab().toImage();
    int brightest = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            brightest = std::max(brightest, qGreen(shot.pixel(x, y)));
    EXPECT_LE(brightest, KivrenTheme::muted().green() + 2);
}

struct StatusCase
{
    const char *name;
    bool failFirst; // a valid connect without a cloud address fails the session first
    const char *typedId;
    const char *status;
    bool danger;
};

void PrintTo(const StatusCase &row, std::ostream *out)
{
    *out << row.name;
}

class HomeStatus : public Home, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(HomeStatus, Colour_DangerOnlyWhileFailed)
{
    const StatusCase c = GetParam();
    if (c.failFirst) {
        client->setRemoteId(QStringLiteral("123456789"));
        client->setRemotePassword(QStringLiteral("ABCD-EFGH"));
        QTest::mouseClick(find<QAbstractButton>("connect"), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return client->phase() == SessionPhase::failed; }, 5000));
    }
    client->setRemoteId(QString::fromUtf8(c.typedId));
    QTest::mouseClick(find<QAbstractButton>("connect"), Qt::LeftButton);
    (void)QTest::qWaitFor([&] { return client->phase() != SessionPhase::connecting; }, 5000);

    auto *line = find<QLabel>("viewerStatus");
    EXPECT_EQ(line->text(), QString::fromUtf8(c.status));
    EXPECT_EQ(line->palette().color(QPalette::WindowText),
              c.danger ? KivrenTheme::danger() : KivrenTheme::muted());
    EXPECT_EQ(line->font().pixelSize(), 13);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HomeStatus,
    ::testing::Values(
        StatusCase{"BadIdWhileIdle", false, "12345678", "Enter the 9-digit ID shown on the other computer", false},
        // Typing after a failure puts the failure away: the line is a hint again.
        StatusCase{"BadIdAfterFailure", true, "12345678", "Enter the 9-digit ID shown on the other computer", false},
        StatusCase{"NoCloudAddress", true, "123 456 789",
                   "Save the cloud address of the computer at home once, then connect.", true}),
    [](const auto &info) { return std::string(info.param.name); });

// Names and statuses come from other machines; markup in them is shown as typed, not rendered.
TEST_F(Home, ForeignText_ShownLiterallyNotAsMarkup)
{
    const QString markup = QStringLiteral("<b>Studio</b> <img src=\"file:///etc/hostname\">");
    make({{QStringLiteral("987654321"), markup, QDateTime::currentDateTimeUtc()}});
    home->setHostStatus(QStringLiteral("Connected \u00b7 ") + markup);
    const auto row = home->findChild<QPushButton *>(QStringLiteral("bookRow"));
    ASSERT_NE(row, nullptr);
    for (QLabel *shown : {row->findChildren<QLabel *>().at(0), find<QLabel>("hostStatus")}) {
        const QFontMetrics metrics(shown->font());
        const int literalWidth = metrics.horizontalAdvance(shown->text());
        if (!shown->wordWrap()) {
            EXPECT_GE(shown->sizeHint().width(), literalWidth - 1) << shown->text().toStdString();
            continue;
        }
        // A label that wraps needs, at a third of that width, the lines of the whole text as typed.
        const int width = literalWidth / 3;
        const int literalHeight =
            metrics.boundingRect(QRect(0, 0, width, 100000), Qt::TextWordWrap, shown->text()).height();
        EXPECT_GE(shown->heightForWidth(width), literalHeight - 1) << shown->text().toStdString();
    }
}

struct ToneCase
{
    StatusTone tone;
    QColor dot;
};

void PrintTo(const ToneCase &row, std::ostream *out)
{
    *out << rawText(row.tone).toStdString();
}

class HomeTone : public Home, public ::testing::WithParamInterface<ToneCase> {};

// The dot says at a glance what the status line says in words; a notice adds a second line.
TEST_P(HomeTone, StatusDot_TakesTheColourOfTheTone)
{
    giveHost();
    home->setHostTone(GetParam().tone);
    auto *dot = find<QLabel>("hostStatusDot");
    const QImage drawn = dot->pixmap().toImage();
    EXPECT_EQ(drawn.pixelColor(drawn.width() / 2, drawn.height() / 2).rgb(), GetParam().dot.rgb());

    EXPECT_FALSE(find("hostNotice")->isVisibleTo(find("thisDevice")));
    home->setHostNotice(QStringLiteral("Settings cannot be saved"));
    EXPECT_TRUE(find("hostNotice")->isVisibleTo(find("thisDevice")));
    EXPECT_EQ(find<QLabel>("hostNotice")->palette().color(QPalette::WindowText), KivrenTheme::warning());
    home->setHostNotice(QString());
    EXPECT_FALSE(find("hostNotice")->isVisibleTo(find("thisDevice")));
}

INSTANTIATE_TEST_SUITE_P(Tones, HomeTone,
                         ::testing::Values(ToneCase{StatusTone::ok, KivrenTheme::ok()},
                                           ToneCase{StatusTone::warning, KivrenTheme::warning()},
                                           ToneCase{StatusTone::error, KivrenTheme::danger()}),
                         [](const auto &info) { return rawText(info.param.tone).toStdString(); });

TEST_F(Home, Hint_DefaultUntilOneIsGiven)
{
    auto *hint = find<QLabel>("cloudHint");
    EXPECT_EQ(hint->text(), QStringLiteral("Save this once from the computer at home. After that only ID "
                                           "and password are needed \u2014 including on mobile data."));
    EXPECT_TRUE(hint->wordWrap());
    home->setCloudHint(QStringLiteral("Phone cloud address: https://a.trycloudflare.com"));
    EXPECT_EQ(hint->text(), QStringLiteral("Phone cloud address: https://a.trycloudflare.com"));
    home->setCloudHint(std::nullopt);
    EXPECT_EQ(hint->text(), KivrenHome::defaultHint());
}

TEST_F(Home, Cards_SpanTheColumnWithInsetsAndRoundedCorners)
{
    giveHost();
    home->resize(720, 2000);
    QTest::qWait(0);
    auto *card = find<HomeCard>("remoteDevice");
    const int column = home->viewport()->width();
    EXPECT_EQ(card->width(), column - 2 * 20);
    EXPECT_EQ(card->x(), 20);

    // Content sits 20 in: the caption at the top left, the Connect button 20 from the right.
    auto *connectButton = find<KivrenPrimary>("connect");
    const QRect button(connectButton->mapTo(card, QPoint(0, 0)), connectButton->size());
    EXPECT_EQ(button.left(), 20);
    EXPECT_EQ(card->width() - 1 - button.right(), 20);
    EXPECT_EQ(button.height(), 48);
    EXPECT_EQ(find<KivrenField>("remoteId")->height(), 48);
    EXPECT_EQ(card->layout()->contentsMargins(), QMargins(20, 20, 20, 20));

    // Surface inside, background at the corner (radius 24 cuts it away), outline on the edge.
    const QImage shot = home->grab().toImage();
    const QPoint origin = card->mapTo(home.get(), QPoint(0, 0));
    EXPECT_EQ(shot.pixel(origin + QPoint(10, card->height() - 6)), KivrenTheme::surface().rgb());
    // A radius-24 corner passes about 7 pixels in from the corner along the diagonal.
    EXPECT_EQ(shot.pixel(origin + QPoint(5, 5)), KivrenTheme::bg().rgb());
    EXPECT_EQ(shot.pixel(origin + QPoint(10, 10)), KivrenTheme::surface().rgb());
    const QColor edge = shot.pixelColor(origin + QPoint(0, card->height() / 2));
    EXPECT_GT(edge.red(), KivrenTheme::bg().red());
    EXPECT_LT(edge.red(), 60);
}

TEST_F(Home, Screenshots_EmptyBookAndWithEntries)
{
    giveHost();
    home->setCloudHint(QStringLiteral("Connections to this computer go through KivrenRemote on it: keep it open."));
    // At the window's first size, as a person first sees it.
    home->resize(MacRootView::kFirstSize);
    QTest::qWait(0);
    const QString empty = UiTestSupport::saveScreenshot(*home, QStringLiteral("home-empty-book"));
    EXPECT_FALSE(QImage(empty).isNull());

    make(sampleBook());
    giveHost();
    home->setCloudHint(QStringLiteral("Phone cloud address: https://warm-river-lamp.trycloudflare.com"));
    client->setRemoteId(QStringLiteral("987 654 321"));
    home->resize(MacRootView::kFirstSize);
    QTest::qWait(0);
    const QString full = UiTestSupport::saveScreenshot(*home, QStringLiteral("home-address-book"));
    EXPECT_FALSE(QImage(full).isNull());
}
