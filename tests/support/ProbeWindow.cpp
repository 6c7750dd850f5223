// A real Qt client for the tests that inject input: a text field, a line of words to double
// click and a long list to scroll, filling the screen. Whatever the user (the injected input)
// does to them is written to the state file given as the first argument, rewritten whole on
// every change, so a test can read what a person would see:
//   field|words|list <x> <y> <w> <h>   where each sits on the screen
//   word <word> <x> <y>                the centre of each word of the words line
//   text <the field's text>
//   selected <the words line's selection>
//   scroll <the list's scroll position, in rows>
#include <QApplication>
#include <QFont>
#include <QLineEdit>
#include <QListWidget>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

namespace {

const QString wordsText = QStringLiteral("alpha beta gamma");

QString rectLine(const char *name, QWidget *widget)
{
    const QPoint topLeft = widget->mapToGlobal(QPoint(0, 0));
    return QStringLiteral("%1 %2 %3 %4 %5\n")
        .arg(QLatin1String(name))
        .arg(topLeft.x())
        .arg(topLeft.y())
        .arg(widget->width())
        .arg(widget->height());
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString stateFile = QString::fromLocal8Bit(argv[1]);

    QWidget window;
    window.setWindowTitle(QStringLiteral("KivrenProbe"));
    QFont font = window.font();
    font.setPixelSize(28);
    window.setFont(font);
    auto *column = new QVBoxLayout(&window);
    auto *field = new QLineEdit;
    auto *words = new QLineEdit(wordsText);
    words->setReadOnly(true);
    auto *list = new QListWidget;
    for (int row = 0; row < 300; ++row)
        list->addItem(QStringLiteral("Row %1").arg(row));
    column->addWidget(field);
    column->addWidget(words);
    column->addWidget(list, 1);

    // Where everything sits, measured once shown (measuring the words moves their cursor).
    QString layout;
    const auto measure = [&] {
        layout = rectLine("field", field) + rectLine("words", words) + rectLine("list", list);
        qsizetype start = 0;
        for (const QString &word : wordsText.split(u' ')) {
            words->setCursorPosition(int(start));
            const int from = words->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
            words->setCursorPosition(int(start + word.size()));
            const int to = words->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
            const QPoint centre = words->mapToGlobal(QPoint((from + to) / 2, words->height() / 2));
            layout += QStringLiteral("word %1 %2 %3\n").arg(word).arg(centre.x()).arg(centre.y());
            start += word.size() + 1;
        }
        words->setCursorPosition(0);
    };
    const auto report = [&] {
        if (layout.isEmpty())
            return;
        const QString state = layout + QStringLiteral("text ") + field->text() + u'\n' + QStringLiteral("selected ")
            + words->selectedText() + u'\n' + QStringLiteral("scroll %1\n").arg(list->verticalScrollBar()->value());
        QSaveFile file(stateFile);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(state.toUtf8());
            file.commit();
        }
    };
    QObject::connect(field, &QLineEdit::textChanged, &window, report);
    QObject::connect(words, &QLineEdit::selectionChanged, &window, report);
    QObject::connect(list->verticalScrollBar(), &QScrollBar::valueChanged, &window, report);

    window.setGeometry(QGuiApplication::primaryScreen()->geometry());
    window.show();
    window.activateWindow();
    field->setFocus();
    // Once laid out and on the screen.
    QTimer::singleShot(200, &window, [&] {
        measure();
        report();
    });
    return app.exec();
}
