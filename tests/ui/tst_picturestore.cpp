#include "picturestore.h"
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
// Every pixel different from its neighbours, all 24 colour bits in play.
QImage pattern(quint32 seed)
{
    QImage img(320, 240, QImage::Format_RGB32);
    quint32 v = seed;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            v = v * 1664525u + 1013904223u;
            img.setPixel(x, y, 0xFF000000u | (v >> 8));
        }
    return img;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray bmpBytes(const QImage& img)
{
    QByteArray out;
    QBuffer b(&out);
    b.open(QIODevice::WriteOnly);
    img.save(&b, "BMP");
    return out;
}

// A bitmap header claiming a picture of w x h, 24 bits, with no pixels after it.
QByteArray bmpHeader(qint32 w, qint32 h)
{
    QByteArray b(54, 0);
    b[0] = 'B';
    b[1] = 'M';
    qToLittleEndian<quint32>(54, b.data() + 2);
    qToLittleEndian<quint32>(54, b.data() + 10);
    qToLittleEndian<quint32>(40, b.data() + 14);
    qToLittleEndian<qint32>(w, b.data() + 18);
    qToLittleEndian<qint32>(h, b.data() + 22);
    qToLittleEndian<quint16>(1, b.data() + 26);
    qToLittleEndian<quint16>(24, b.data() + 28);
    return b;
}

QStringList leftovers(const QString& dir, const QStringList& expected)
{
    QStringList names = QDir(dir).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& e : expected)
        names.removeAll(e);
    return names;
}
}   // namespace

class TestPictureStore : public QObject {
    Q_OBJECT
private slots:
    void pathRule_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QChar>("sep");
        QTest::addColumn<QString>("path");
        QTest::newRow("drive root") << "C:\\" << "mypic.bmp" << QChar('\\') << "C:\\mypic.bmp";
        QTest::newRow("folder on a drive") << "C:\\pics" << "mypic.bmp" << QChar('\\') << "C:\\pics\\mypic.bmp";
        QTest::newRow("short folder on a drive") << "C:\\a" << "x.bmp" << QChar('\\') << "C:\\a\\x.bmp";
        QTest::newRow("unix root") << "/" << "mypic.bmp" << QChar('/') << "/mypic.bmp";
        // Shorter than four characters without a separator at its end.
        QTest::newRow("short unix folder") << "/ab" << "mypic.bmp" << QChar('/') << "/ab/mypic.bmp";
        QTest::newRow("unix folder") << "/home/pics" << "mypic.bmp" << QChar('/') << "/home/pics/mypic.bmp";
        QTest::newRow("folder ending in separator") << "/home/pics/" << "a" << QChar('/') << "/home/pics/a";
        QTest::newRow("no name names the folder") << "/home/pics" << "" << QChar('/') << "/home/pics/";
        QTest::newRow("name as typed") << "/tmp" << " my pic " << QChar('/') << "/tmp/ my pic ";
    }
    void pathRule()
    {
        QFETCH(QString, folder);
        QFETCH(QString, name);
        QFETCH(QChar, sep);
        QFETCH(QString, path);
        QCOMPARE(PictureStore::joinPath(folder, name, sep), path);
    }

    void roundTripPixelForPixel()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("mypic.bmp");
        const QImage img = pattern(1);
        QString why;
        QVERIFY2(PictureStore::store(img, path, &why), qPrintable(why));
        const QImage back = PictureStore::load(path);
        QVERIFY(!back.isNull());
        QCOMPARE(back.size(), img.size());
        QCOMPARE(back.convertToFormat(QImage::Format_RGB32), img);
    }

    void storedFileIsAPlain24BitBitmap()
    {
        // What any other program expects: BITMAPFILEHEADER + BITMAPINFOHEADER,
        // bottom-up rows of 3 bytes, no palette, no compression.
        QTemporaryDir dir;
        const QString path = dir.filePath("a.bmp");
        QVERIFY(PictureStore::store(pattern(2), path));
        const QByteArray b = readAll(path);
        QCOMPARE(b.size(), 54 + 320 * 240 * 3);
        QVERIFY(b.startsWith("BM"));
        QCOMPARE(qFromLittleEndian<quint32>(b.constData() + 2), quint32(b.size()));
        QCOMPARE(qFromLittleEndian<quint32>(b.constData() + 10), 54u);
        QCOMPARE(qFromLittleEndian<quint32>(b.constData() + 14), 40u);
        QCOMPARE(qFromLittleEndian<qint32>(b.constData() + 18), 320);
        QCOMPARE(qFromLittleEndian<qint32>(b.constData() + 22), 240);
        QCOMPARE(qFromLittleEndian<quint16>(b.constData() + 26), quint16(1));
        QCOMPARE(qFromLittleEndian<quint16>(b.constData() + 28), quint16(24));
        QCOMPARE(qFromLittleEndian<quint32>(b.constData() + 30), 0u);
        // First stored row is the bottom one, blue green red.
        const QRgb p = pattern(2).pixel(0, 239);
        QCOMPARE(quint8(b[54]), quint8(qBlue(p)));
        QCOMPARE(quint8(b[55]), quint8(qGreen(p)));
        QCOMPARE(quint8(b[56]), quint8(qRed(p)));
    }

    void overwriteReplaces()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("mypic.bmp");
        writeAll(path, QByteArray(500000, 'x'));   // longer than the new file
        QVERIFY(PictureStore::store(pattern(4), path));
        QVERIFY(PictureStore::store(pattern(5), path));
        QCOMPARE(QFileInfo(path).size(), 54 + 320 * 240 * 3);
        QCOMPARE(PictureStore::load(path).convertToFormat(QImage::Format_RGB32), pattern(5));
        QCOMPARE(leftovers(dir.path(), {}), QStringList{"mypic.bmp"});
    }

    void failedStoreKeepsTheOldFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("victim");   // what must survive untouched
        QTest::newRow("name is a folder") << "sub" << "sub/keep.bmp";
        QTest::newRow("folder missing") << "nosuch/mypic.bmp" << "old.bmp";
        QTest::newRow("empty name") << "" << "old.bmp";
        QTest::newRow("name too long") << QString(300, 'n') << "old.bmp";
    }
    void failedStoreKeepsTheOldFile()
    {
        QFETCH(QString, name);
        QFETCH(QString, victim);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("sub"));
        const QByteArray old = bmpBytes(pattern(6));
        writeAll(dir.filePath(victim), old);
        QString why;
        QVERIFY(!PictureStore::store(pattern(7), PictureStore::joinPath(dir.path(), name, '/'), &why));
        QVERIFY(!why.isEmpty());
        QCOMPARE(readAll(dir.filePath(victim)), old);
        QCOMPARE(leftovers(dir.path(), {"sub", victim}), QStringList{});
        QCOMPARE(leftovers(dir.filePath("sub"), {QFileInfo(victim).fileName()}), QStringList{});
    }

    void writeFailingHalfwayKeepsTheOldFile()
    {
#ifdef Q_OS_UNIX
        // A file size limit fails the write part way, like a full disk, even as root.
        QTemporaryDir dir;
        const QString path = dir.filePath("mypic.bmp");
        const QByteArray old = bmpBytes(pattern(8));
        writeAll(path, old);
        rlimit was{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &was), 0);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = was;
        small.rlim_cur = 4096;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QString why;
        const bool stored = PictureStore::store(pattern(9), path, &why);
        setrlimit(RLIMIT_FSIZE, &was);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!stored);
        QVERIFY(!why.isEmpty());
        QCOMPARE(readAll(path), old);
        QCOMPARE(leftovers(dir.path(), {"mypic.bmp"}), QStringList{});
#else
        QSKIP("needs a per-process file size limit");
#endif
    }

    void readOnlyFolderKeepsTheOldFile()
    {
#ifdef Q_OS_UNIX
        QTemporaryDir dir;
        const QString path = dir.filePath("ro/mypic.bmp");
        QVERIFY(QDir(dir.path()).mkdir("ro"));
        const QByteArray old = bmpBytes(pattern(10));
        writeAll(path, old);
        QVERIFY(QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner));
        auto restore = qScopeGuard([&] {
            QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        });
        if (geteuid() == 0)
            QSKIP("root writes into read-only folders; the size limit and folder-name cases cover failed writes");
        const bool stored = PictureStore::store(pattern(11), path);
        QVERIFY(!stored);
        QCOMPARE(readAll(path), old);
#else
        QSKIP("Unix permissions");
#endif
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray whole = bmpBytes(pattern(12));
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("text") << QByteArray("Corvameter notes\r\nnot a picture\r\n");
        QTest::newRow("bitmap cut in half") << whole.left(whole.size() / 2);
        QTest::newRow("bitmap missing its last byte") << whole.chopped(1);
        QTest::newRow("bitmap header only") << whole.left(54);
        QTest::newRow("bitmap cut in its header") << whole.left(30);
        QTest::newRow("huge bitmap header") << bmpHeader(100000, 100000);
        QTest::newRow("huge top-down header") << bmpHeader(2000000000, -2000000000);
        QTest::newRow("negative extreme header") << bmpHeader(INT_MIN, INT_MIN);
        QByteArray jpg;
        {
            QBuffer b(&jpg);
            b.open(QIODevice::WriteOnly);
            pattern(13).save(&b, "JPG");
        }
        QTest::newRow("jpeg cut short") << jpg.left(jpg.size() / 2);
        QByteArray png;
        {
            QBuffer b(&png);
            b.open(QIODevice::WriteOnly);
            pattern(14).save(&b, "PNG");
        }
        QTest::newRow("png cut short") << png.left(png.size() / 2);
        // A whole, valid picture wider than the cap.
        QByteArray wide;
        {
            QImage img(PictureStore::kMaxSide + 1, 1, QImage::Format_RGB32);
            img.fill(Qt::red);
            QBuffer b(&wide);
            b.open(QIODevice::WriteOnly);
            img.save(&b, "PNG");
        }
        QTest::newRow("wider than the cap") << wide;
    }
    void refused()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath("mypic.bmp");
        writeAll(path, content);
        QVERIFY(PictureStore::load(path).isNull());
    }

    void refusedThings_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("missing file") << "missing";
        QTest::newRow("folder") << "folder";
        QTest::newRow("pipe") << "pipe";
    }
    void refusedThings()
    {
        QFETCH(QString, what);
        QTemporaryDir dir;
        const QString path = dir.filePath("thing");
        if (what == "folder")
            QVERIFY(QDir(dir.path()).mkdir("thing"));
        if (what == "pipe") {
#ifdef Q_OS_UNIX
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
#else
            QSKIP("no named pipes in the file system");
#endif
        }
        // A pipe would block the reader for ever.
        QVERIFY(PictureStore::load(path).isNull());
    }

    void readsOtherFormatsByContent_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::newRow("png") << QByteArray("PNG");
        QTest::newRow("ppm") << QByteArray("PPM");
        QTest::newRow("8-bit bitmap") << QByteArray("BMP8");
    }
    void readsOtherFormatsByContent()
    {
        QFETCH(QByteArray, format);
        QTemporaryDir dir;
        const QString path = dir.filePath("picture.bmp");   // the name does not decide
        QImage img = pattern(15);
        if (format == "BMP8") {
            img = img.convertToFormat(QImage::Format_Indexed8);
            QVERIFY(img.save(path, "BMP"));
        } else {
            QVERIFY(img.save(path, format.constData()));
        }
        const QImage back = PictureStore::load(path);
        QVERIFY(!back.isNull());
        QCOMPARE(back.convertToFormat(QImage::Format_RGB32), img.convertToFormat(QImage::Format_RGB32));
    }
};

QTEST_GUILESS_MAIN(TestPictureStore)
#include "tst_picturestore.moc"
