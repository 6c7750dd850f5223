// Strict base64 on any text: what it accepts names exactly one byte string, which encodes back to
// a text of the same length that decodes to the same bytes; both entry points (bytes and a JSON
// string's UTF-16) agree; and Qt's own strict decoder reads every accepted text the same way.
#include "FuzzCheck.h"

#include "Base64.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<QByteArray> bytes = Base64::decodeStrict(QByteArrayView(text));

    // The same units as a JSON string holds them, and as UTF-16 beyond Latin-1, which is never base64.
    FUZZ_CHECK(Base64::decodeStrict(QStringView(QString::fromLatin1(text))) == bytes);
    const QString wide(reinterpret_cast<const QChar *>(text.constData()), text.size() / 2);
    if (const std::optional<QByteArray> fromWide = Base64::decodeStrict(QStringView(wide))) {
        for (const QChar unit : wide)
            FUZZ_CHECK(unit.unicode() < 0x80);
        FUZZ_CHECK(Base64::decodeStrict(QByteArrayView(wide.toLatin1())) == fromWide);
    }

    if (!bytes)
        return 0;
    const QByteArray again = Base64::encode(*bytes);
    FUZZ_CHECK(again.size() == text.size());
    FUZZ_CHECK(Base64::decodeStrict(QByteArrayView(again)) == bytes);
    const QByteArray::FromBase64Result qt = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    FUZZ_CHECK(qt && qt.decoded == *bytes);
    return 0;
}
