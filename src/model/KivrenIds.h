#pragma once

#include <QString>

// Generation, compaction and display form of the 9-digit ID, the 8-character password and
// the hexadecimal host token.
namespace KivrenIds {

// "ABCDEFGHJKLMNPQRSTUVWXYZ23456789": no 0, 1, I or O.
const QString &alphabet();

QString nineDigit();
QString pick(int count);
QString token(int count);

QString compactId(const QString &text);
QString formatId(const QString &text);
QString compactPassword(const QString &text);
QString formatPassword(const QString &text);

// Length in grapheme clusters (what a user sees as characters).
int characterCount(const QString &text);

// Random bytes behind a host token (written as twice as many hexadecimal digits).
inline constexpr int hostTokenBytes = 24;

// The forms this program stores, exactly: nine ASCII digits; four alphabet characters, "-" and
// four more; 48 lowercase hexadecimal digits. Anything else in a settings file was not written
// by it and is not used.
bool isCompactId(const QString &text);
bool isDisplayPassword(const QString &text);
bool isHostToken(const QString &text);

} // namespace KivrenIds
