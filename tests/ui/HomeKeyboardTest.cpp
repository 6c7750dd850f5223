// The home and session screens for a person without a mouse, or with a screen reader: every
// control reached by Tab and seen to have the focus, Enter connecting, every control named, text
// readable against its background.
#include "BookRow.h"
#include "CannedSwitchboard.h"
#include "KivrenApp.h"
#include "KivrenClient.h"
#include "KivrenField.h"
#include "KivrenHome.h"
#include "KivrenTheme.h"
#include "MacHostService.h"
#include "MacRootView.h"
#include "RemoteDesktopView.h"
#include "SettingsStore.h"
#include "UiTestSupport.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

// WCAG 2's relative luminance of an opaque colour.
double luminance(const QColor &colour)
{
    const auto channel = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct ContrastCase
{
    const char *name;
    QColor text;
    QColor background;
};

void PrintTo(const ContrastCase &row, std::ostream *out)
{
    *out << row.name;
}

class TextContrast : public ::testing::TestWithParam<ContrastCase> {};

TEST_P(TextContrast, Ratio_AtLeast4point5To1)
{
    const ContrastCase c = GetParam();
    EXPECT_GE(contrast(c.text, c.background), 4.5) << contrast(c.text, c.background);
}

INSTANTIATE_TEST_SUITE_P(
    Theme, TextContrast,
    ::testing::Values(
        ContrastCase{"PlaceholderOnField", KivrenTheme::palette().color(QPalette::PlaceholderText), KivrenTheme::bg()},
        ContrastCase{"MutedOnCard", KivrenTheme::muted(), KivrenTheme::surface()},
        ContrastCase{"FocusRingOnCard", KivrenTheme::focusRing(), KivrenTheme::surface()},
        ContrastCase{"FocusRingOnPrimary", KivrenTheme::accentFg(), KivrenTheme::accent()},
        ContrastCase{"DangerOnCard", KivrenTheme::danger(), KivrenTheme::surface()}),
    [](const auto &info) { return std::string(info.param.name); });

// The whole app's window over a canned switchboard, with one machine in the book.
class Keyboard : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings = std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("settings.ini")));
        settings->setText(KivrenClient::cloudKey, board.origin());
        settings->setBytes(KivrenClient::bookKey,
                           BookEntry::encodeList({{QStringLiteral("987654321"), QStringLiteral("Studio PC"),
                                                   QDateTime::currentDateTimeUtc()}}));
        board.setReply(QStringLiteral("lookup"), {{"found", true}, {"online", false}});
        app = std::make_unique<KivrenApp>(*settings, QStringLiteral("Test PC"), UiTestSupport::quietHost(*settings, QStringLiteral("Test PC")),
                                          dir.filePath(QStringLiteral("autostart")));
        app->show();
        QWidget &window = app->window();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    void TearDown() override
    {
        app.reset();
        QTest::qWait(20);
    }

    KivrenHome *home() const { return app->window().home(); }

    // The controls a person can act on: shown, enabled and taking the focus by Tab.
    QList<QWidget *> controls(QWidget *root) const
    {
        QList<QWidget *> out;
        for (QWidget *w : root->findChildren<QWidget *>()) {
            if (w->isVisibleTo(&app->window()) && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)
                && !qobject_cast<QMenu *>(w))
                out << w;
        }
        return out;
    }

    QTemporaryDir dir;
    CannedSwitchboard board;
    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<KivrenApp> app;
};

// Tab goes round every control of the home screen; each one looks different while it has the
// focus; the ID and password typed at the keyboard and Enter connect.
TEST_F(Keyboard, Tab_ReachesEveryControlShowsTheFocusAndEnterConnects)
{
    QWidget &window = app->window();
    const QList<QWidget *> all = controls(home());
    ASSERT_GE(all.size(), 9); // copy ID and password, new, two toggles, ID, password, connect, cloud, save, book row

    QList<QWidget *> reached;
    for (int step = 0; step < 3 * all.size() && reached.size() < all.size(); ++step) {
        QWidget *before = QApplication::focusWidget();
        QTest::keyClick(before ? before : &window, Qt::Key_Tab);
        QWidget *next = QApplication::focusWidget();
        ASSERT_NE(next, nullptr);
        if (next == before || reached.contains(next))
            continue;
        reached << next;
        // The same control drawn with and without the focus.
        const QImage focused = next->grab().toImage();
        next->clearFocus();
        const QImage unfocused = next->grab().toImage();
        next->setFocus(Qt::TabFocusReason);
        EXPECT_NE(focused, unfocused) << "no visible focus on " << next->objectName().toStdString() << " ("
                                      << next->metaObject()->className() << ")";
    }
    for (QWidget *w : all)
        EXPECT_TRUE(reached.contains(w)) << "Tab never reached " << w->objectName().toStdString() << " ("
                                         << w->metaObject()->className() << ")";

    // Keyboard only: Tab to the ID field, type, Tab to the password, type, Enter.
    auto *id = home()->findChild<KivrenField *>(QStringLiteral("remoteId"));
    for (int step = 0; step < 3 * all.size() && QApplication::focusWidget() != id; ++step)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), id);
    QTest::keyClicks(id, QStringLiteral("123456789"));
    QTest::keyClick(id, Qt::Key_Tab);
    QWidget *password = QApplication::focusWidget();
    ASSERT_EQ(password->objectName(), QStringLiteral("remotePassword"));
    QTest::keyClicks(password, QStringLiteral("abcdefgh"));
    QTest::keyClick(password, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !board.requests(QStringLiteral("lookup")).isEmpty(); }, 5000));
    EXPECT_EQ(board.requests(QStringLiteral("lookup")).value(0).body.value(QStringLiteral("id")).toString(),
              QStringLiteral("123456789"));
}

// Enter in either field connects, as the button does.
class EnterField : public Keyboard, public ::testing::WithParamInterface<const char *> {};

TEST_P(EnterField, Enter_Connects)
{
    app->client().setRemoteId(QStringLiteral("123 456 789"));
    app->client().setRemotePassword(QStringLiteral("ABCD-EFGH"));
    auto *field = home()->findChild<KivrenField *>(QString::fromLatin1(GetParam()));
    ASSERT_NE(field, nullptr);
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Enter);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !board.requests(QStringLiteral("lookup")).isEmpty(); }, 5000));
}

INSTANTIATE_TEST_SUITE_P(Fields, EnterField, ::testing::Values("remoteId", "remotePassword"),
                         [](const auto &info) { return std::string(info.param); });

// The address-book row by the keyboard: Enter asks for the password (the cursor goes there), F2
// renames in place, Delete removes; a double click opens it too.
TEST_F(Keyboard, BookRow_EnterF2AndDelete)
{
    auto *row = home()->findChild<BookRow *>();
    ASSERT_NE(row, nullptr);
    row->setFocus();
    QTest::keyClick(row, Qt::Key_Return);
    auto *password = home()->findChild<KivrenField *>(QStringLiteral("remotePassword"));
    EXPECT_TRUE(password->hasFocus());
    EXPECT_EQ(app->client().remoteId(), QStringLiteral("987 654 321"));
    EXPECT_EQ(app->client().status(), QStringLiteral("Enter the password shown on Studio PC, then press Enter"));
    QTest::keyClicks(password, QStringLiteral("ABCDEFGH"));
    QTest::keyClick(password, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !board.requests(QStringLiteral("lookup")).isEmpty(); }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->client().phase() == SessionPhase::failed; }, 5000));

    row = home()->findChild<BookRow *>();
    row->setFocus();
    QTest::keyClick(row, Qt::Key_F2);
    auto *editor = row->findChild<KivrenField *>(QStringLiteral("bookRename"));
    ASSERT_NE(editor, nullptr);
    ASSERT_TRUE(editor->hasFocus());
    QTest::keyClicks(editor, QStringLiteral("Studio"));
    QTest::keyClick(editor, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->client().book().value(0).name == QStringLiteral("Studio"); }, 2000));
    auto *renamed = home()->findChild<BookRow *>();
    ASSERT_TRUE(QTest::qWaitFor([&] { renamed = home()->findChild<BookRow *>(); return renamed && renamed->isVisible() && renamed->hasFocus(); }, 2000));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(renamed)->text(QAccessible::Name),
              QStringLiteral("Studio, ID 987 654 321"));

    // A double click on the row with the password still typed connects at once.
    app->client().setRemotePassword(QStringLiteral("ABCD-EFGH"));
    const qsizetype lookups = board.requests(QStringLiteral("lookup")).size();
    QTest::mouseDClick(renamed, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return board.requests(QStringLiteral("lookup")).size() > lookups; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->client().phase() == SessionPhase::failed; }, 5000));

    renamed = home()->findChild<BookRow *>();
    renamed->setFocus();
    QTest::keyClick(renamed, Qt::Key_Delete);
    EXPECT_TRUE(app->client().book().isEmpty());
    EXPECT_FALSE(settings->bytes(KivrenClient::bookKey).value_or(QByteArray()).contains("987654321"));
}

// The context menu has Rename… and Remove.
TEST_F(Keyboard, BookRow_ContextMenuRemoves)
{
    auto *row = home()->findChild<BookRow *>();
    ASSERT_NE(row, nullptr);
    QStringList seen;
    QTimer::singleShot(100, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *action : menu->actions())
            seen << action->text();
        for (QAction *action : menu->actions()) {
            if (action->text() == BookRow::removeText)
                menu->setActiveAction(action);
        }
        QTest::keyClick(menu, Qt::Key_Return);
    });
    QContextMenuEvent event(QContextMenuEvent::Keyboard, row->rect().center(), row->mapToGlobal(row->rect().center()));
    QApplication::sendEvent(row, &event);
    EXPECT_EQ(seen, (QStringList{BookRow::renameText, BookRow::removeText}));
    EXPECT_TRUE(app->client().book().isEmpty());
}

// A screen reader reads a name for every control and text of the home screen and of the
// session screen.
TEST_F(Keyboard, Accessible_EveryControlHasAName)
{
    const auto unnamed = [](QWidget *root) {
        QStringList out;
        for (QWidget *w : root->findChildren<QWidget *>()) {
            if (!w->isVisibleTo(root->window()))
                continue;
            const bool control = (w->focusPolicy() & Qt::TabFocus) || qobject_cast<QAbstractButton *>(w)
                || qobject_cast<QLineEdit *>(w);
            if (!control)
                continue;
            QAccessibleInterface *face = QAccessible::queryAccessibleInterface(w);
            if (!face || face->text(QAccessible::Name).trimmed().isEmpty())
                out << QStringLiteral("%1 (%2)").arg(w->objectName(), QString::fromLatin1(w->metaObject()->className()));
        }
        return out;
    };
    EXPECT_EQ(unnamed(home()), QStringList{});
    for (const char *name : {"remoteId", "remotePassword", "cloudField"}) {
        auto *field = home()->findChild<QLineEdit *>(QString::fromLatin1(name));
        EXPECT_FALSE(QAccessible::queryAccessibleInterface(field)->text(QAccessible::Description).isEmpty()) << name;
    }

    RemoteDesktopView remote(app->client());
    remote.resize(800, 600);
    remote.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&remote));
    EXPECT_EQ(unnamed(&remote), QStringList{});
    EXPECT_EQ(QAccessible::queryAccessibleInterface(remote.clickView())->text(QAccessible::Name),
              QStringLiteral("Remote screen"));
}

// Copy and Save say what they did for a moment.
TEST_F(Keyboard, CopyAndSave_ConfirmForAMoment)
{
    for (const char *name : {"copyId", "copyPassword", "saveCloud"}) {
        auto *button = home()->findChild<QAbstractButton *>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr) << name;
        const QString label = button->text();
        QTest::mouseClick(button, Qt::LeftButton);
        const QString done = QString::fromLatin1(name) == QLatin1String("saveCloud") ? KivrenHome::savedText
                                                                                    : KivrenHome::copiedText;
        EXPECT_EQ(button->text(), done) << name;
        ASSERT_TRUE(QTest::qWaitFor([&] { return button->text() == label; }, 4000)) << name;
    }
}

} // namespace
