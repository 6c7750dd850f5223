// The address book as the viewer reads it at start, from a settings file that may hold anything
// (a hand edit, a disk error, another version): the input is the INI file itself, read through
// the settings store by a new client. Whatever book the client takes in must survive being
// written back: it encodes to a book that decodes to the same entries.
#include "FuzzCheck.h"

#include "BookEntry.h"
#include "KivrenClient.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

// Removed with everything in it when the run ends.
QTemporaryDir &directory()
{
    static QTemporaryDir dir;
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    directory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A file of its own each time: the settings store caches what it read by path.
    static int run = 0;
    const QString path = directory().filePath(QStringLiteral("settings-%1.ini").arg(++run));
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    }
    QList<BookEntry> book;
    {
        SettingsStore store(path);
        const KivrenClient client(store, QStringLiteral("Fuzz"));
        book = client.book();
    }
    QFile::remove(path);

    const std::optional<QList<BookEntry>> again = BookEntry::decodeList(BookEntry::encodeList(book));
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == book);
    return 0;
}
