#pragma once

#include "BookEntry.h"

#include <QPushButton>

class KivrenField;
class QLabel;

// One address-book entry on the home screen: its name over its ID. A click fills in the ID; a
// double click, Enter or Return opens it (connects, or asks for the password); F2 or "Rename…"
// in its context menu renames it in place, Delete or "Remove" forgets it. The row only reports
// what the person asked for; the home screen does it.
class BookRow : public QPushButton
{
    Q_OBJECT

public:
    static inline const QString renameText = QStringLiteral("Rename\u2026");
    static inline const QString removeText = QStringLiteral("Remove");

    explicit BookRow(const BookEntry &entry, QWidget *parent = nullptr);

    QString entryId() const { return m_id; }
    // Shows a field over the name, holding it selected; Enter gives the new name, Esc or leaving
    // the field keeps the old one.
    void startRename();

signals:
    void chosen(const QString &id);
    void opened(const QString &id);
    void renamed(const QString &id, const QString &name);
    void removed(const QString &id);

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void finishRename(bool keep);

    QString m_id;
    QString m_name;
    QLabel *m_nameLabel = nullptr;
    KivrenField *m_editor = nullptr;
};
