#include "fake_d2xx.h"
#include "fake_host.h"
#include "screen.h"
#include "screen_expect.h"
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <vector>

using namespace expect;

namespace {

QByteArray randomBlock(quint32 seed, int size = 8192)
{
    QRandomGenerator gen(seed);
    QByteArray b(size, '\0');
    for (char& c : b)
        c = char(gen.bounded(256));
    return b;
}

QString frameMessage() { return QStringLiteral("Downloaded 1 Frame\r\n"); }
QString continuousMessage() { return QStringLiteral("Continuous Download:\r\nPress Stop to end"); }

// "Read=0,4;Close=4" into the fake's status lists.
void setStatuses(FakeD2xx& d, const QString& spec)
{
    for (const QString& part : spec.split(';', Qt::SkipEmptyParts)) {
        const QStringList kv = part.split('=');
        QList<FT_STATUS> list;
        for (const QString& v : kv[1].split(','))
            list << FT_STATUS(v.toUInt());
        d.statuses[kv[0]] = list;
    }
}

struct Rig {
    State state;
    FakeD2xx d2xx;
    FakeHost host;
    Link link{state, d2xx, host};
    Surface surface;
    ScreenCapture screen{state, link, host, surface};
    int changes = 0;

    // The receive buffer as the test expects it, kept by the reads that reach
    // the fake, for the independent decode.
    std::vector<uint8_t> mirror = std::vector<uint8_t>(10000, 0);
    struct Drawn {
        int block, n;
        std::vector<uint8_t> buffer;
    };
    QList<Drawn> blockReads;

    Rig()
    {
        surface.onChanged = [this] { ++changes; };
        // Later blocks are read without a queue wait; tests of the wait reset it.
        state.QueueCount = 8192;
    }

    int commandsSince242(int code) const
    {
        int n = 0;
        for (const auto& c : d2xx.calls) {
            if (c.fn != "Write")
                continue;
            if (quint8(c.bytes[0]) == 242)
                n = 0;
            else if (quint8(c.bytes[0]) == code)
                ++n;
        }
        return n;
    }
    int frames() const { return int(d2xx.writtenCodes().count(242)); }

    // Answers 242 with modeOf(frame) and each 246 with blockOf(frame, block).
    void serve(std::function<uint8_t(int)> modeOf, std::function<QByteArray(int, int)> blockOf)
    {
        d2xx.reader = [this, modeOf, blockOf](DWORD n) {
            const int frame = frames() - 1;
            QByteArray bytes;
            if (n == 1) {
                bytes = QByteArray(1, char(modeOf(frame)));
            } else {
                const int block = commandsSince242(246) - 1;
                bytes = blockOf(frame, block).left(int(n));
                Drawn d{block, int(bytes.size()), {}};
                std::copy(bytes.begin(), bytes.end(), mirror.begin());
                d.buffer = mirror;
                blockReads << d;
                return bytes;
            }
            std::copy(bytes.begin(), bytes.end(), mirror.begin());
            return bytes;
        };
    }
    void serve(uint8_t mode, QList<QByteArray> blocks)
    {
        serve([mode](int) { return mode; },
              [blocks](int, int b) { return b >= 0 && b < blocks.size() ? blocks[b] : QByteArray(); });
    }
    void setSurface(const QImage& img) { surface.image() = img.convertToFormat(QImage::Format_RGB32); }
    // Adds the decode of every block read so far to img.
    void decodeReads(QImage& img, int from = 0) const
    {
        for (int i = from; i < blockReads.size(); ++i)
            decodeBlock(img, blockReads[i].buffer.data(), blockReads[i].n, blockReads[i].block);
    }
};

QImage solid(int w, int h, QRgb c)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    // A mark in one corner shows the picture is not shifted or flipped.
    img.setPixel(0, 0, qRgb(255, 255, 0));
    return img;
}

} // namespace

class TestScreen : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString startDir_;

    void clearDir()
    {
        for (const QString& f : QDir(dir_.path()).entryList(QDir::Files))
            QFile::remove(dir_.filePath(f));
    }
    void writePicture(const char* name, const QImage& img) { QVERIFY(img.save(dir_.filePath(name), "BMP")); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        startDir_ = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir_.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(startDir_); }
    void init() { clearDir(); }

    // ---- decoding -------------------------------------------------------

    void nibbleThresholds_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("upper");   // 0 none, 8 grey, 15 white
        QTest::addColumn<int>("lower");
        QTest::newRow("0x00") << 0x00 << 0 << 0;
        QTest::newRow("0x10") << 0x10 << 8 << 0;
        QTest::newRow("0x01") << 0x01 << 0 << 8;
        QTest::newRow("0x77") << 0x77 << 8 << 8;
        QTest::newRow("0x80") << 0x80 << 15 << 0;
        QTest::newRow("0x08") << 0x08 << 0 << 8;
        QTest::newRow("0x88") << 0x88 << 15 << 8;
        QTest::newRow("0x09") << 0x09 << 0 << 15;
        QTest::newRow("0x99") << 0x99 << 15 << 15;
        QTest::newRow("0x7F") << 0x7F << 8 << 15;
        QTest::newRow("0xF1") << 0xF1 << 15 << 8;
    }
    void nibbleThresholds()
    {
        QFETCH(int, value);
        QFETCH(int, upper);
        QFETCH(int, lower);
        Rig r;
        const QImage before = pattern();
        r.setSurface(before);
        // Block 2, offset 300: column 2, row pair 44, so x = 190, y = 88.
        QByteArray block(8192, '\0');
        block[300] = char(value);
        r.serve(0x0A, {{}, {}, block});
        r.link.Open_USB();
        r.screen.Get_screen_data();
        auto colour = [&](int v, int x, int y) { return v == 0 ? before.pixel(x, y) : v == 8 ? kGrey : kWhite; };
        QCOMPARE(r.surface.image().pixel(190, 88), colour(upper, 190, 88));
        QCOMPARE(r.surface.image().pixel(190, 89), colour(lower, 190, 89));
        QImage want = before;
        r.decodeReads(want);
        COMPARE_IMAGES(r.surface.image(), want);
    }

    void columnFirstBytes_data()
    {
        QTest::addColumn<int>("block");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("value");
        QTest::newRow("block 0 column 1, 0xFF") << 0 << 1 << 0xFF;
        QTest::newRow("block 1 column 5, 0x99") << 1 << 5 << 0x99;
        QTest::newRow("block 2 column 2, 0x88") << 2 << 2 << 0x88;
        QTest::newRow("block 4 column 63, 0xFF") << 4 << 63 << 0xFF;
    }
    void columnFirstBytes()
    {
        QFETCH(int, block);
        QFETCH(int, column);
        QFETCH(int, value);
        Rig r;
        const QImage before = pattern();
        r.setSurface(before);
        QByteArray bytes(8192, char(0x99));
        bytes[column * 128] = char(value);
        QList<QByteArray> blocks(5);
        blocks[block] = bytes;
        r.serve(0x0A, blocks);
        r.link.Open_USB();
        r.screen.Get_screen_data();
        const QImage& img = r.surface.image();
        const int x = 320 - (column + 64 * block);
        QCOMPARE(img.pixel(x, 0), kBlack);
        QCOMPARE(img.pixel(x, 1), kBlack);
        QCOMPARE(img.pixel(x, 2), kWhite);
        // Offset 0 of the block is never looked at: its column keeps rows 0 and 1.
        const int firstX = 320 - 64 * block;
        if (firstX < 320) {
            QCOMPARE(img.pixel(firstX, 0), before.pixel(firstX, 0));
            QCOMPARE(img.pixel(firstX, 1), before.pixel(firstX, 1));
            QCOMPARE(img.pixel(firstX, 2), kWhite);
        }
        // The last index, 8192, paints the top of the next block's first column.
        const int nextX = 320 - 64 * (block + 1);
        QCOMPARE(img.pixel(nextX, 0), kBlack);
        QCOMPARE(img.pixel(nextX, 1), kBlack);
        QCOMPARE(img.pixel(nextX, 2), before.pixel(nextX, 2));
    }

    void placementAndClipping_data()
    {
        QTest::addColumn<int>("block");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("pair");
        QTest::addColumn<int>("x");   // -1: nothing visible
        QTest::addColumn<int>("y");
        QTest::newRow("block 0 column 0 beyond the edge") << 0 << 0 << 5 << -1 << -1;
        QTest::newRow("block 0 column 1") << 0 << 1 << 5 << 319 << 10;
        QTest::newRow("worked example") << 2 << 2 << 44 << 190 << 88;
        QTest::newRow("block 4 column 63") << 4 << 63 << 5 << 1 << 10;
        QTest::newRow("last visible rows") << 1 << 10 << 119 << 246 << 238;
        QTest::newRow("rows 240 and 241 clipped") << 1 << 10 << 120 << -1 << -1;
        QTest::newRow("last pair clipped") << 3 << 20 << 127 << -1 << -1;
    }
    void placementAndClipping()
    {
        QFETCH(int, block);
        QFETCH(int, column);
        QFETCH(int, pair);
        QFETCH(int, x);
        QFETCH(int, y);
        Rig r;
        const QImage before = pattern();
        r.setSurface(before);
        QByteArray bytes(8192, '\0');
        bytes[column * 128 + pair] = char(0xF9);
        QList<QByteArray> blocks(5);
        blocks[block] = bytes;
        r.serve(0x0A, blocks);
        r.link.Open_USB();
        r.screen.Get_screen_data();
        // Built by hand: the black tops of columns 1 to 64 of the block, and
        // the one byte's two white pixels.
        QImage want = before;
        for (int c = 1; c <= 64; ++c) {
            put(want, 320 - (c + 64 * block), 0, kBlack);
            put(want, 320 - (c + 64 * block), 1, kBlack);
        }
        if (x >= 0) {
            put(want, x, y, kWhite);
            put(want, x, y + 1, kWhite);
        }
        COMPARE_IMAGES(r.surface.image(), want);
    }

    void shortBlocks_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("leftover");   // what the earlier read left in the buffer
        QTest::newRow("5000, leftover 0xF9") << 5000 << 0xF9;
        QTest::newRow("5000, leftover 0x00") << 5000 << 0x00;
        QTest::newRow("128 ends on a column's first byte") << 128 << 0xFF;
        QTest::newRow("1 byte") << 1 << 0x9F;
        QTest::newRow("nothing") << 0 << 0xFF;
    }
    void shortBlocks()
    {
        QFETCH(int, n);
        QFETCH(int, leftover);
        Rig r;
        const QImage before = pattern();
        r.setSurface(before);
        r.state.RxBuffer.fill(uint8_t(leftover));
        r.mirror.assign(10000, uint8_t(leftover));
        QList<QByteArray> blocks(5);
        blocks[3] = QByteArray(n, char(0x11));
        r.serve(0x0A, blocks);
        r.link.Open_USB();
        r.screen.Get_screen_data();
        const QImage& img = r.surface.image();
        if (n == 5000) {
            // The last index, k = 5000 (column 39, pair 8), uses position 5001.
            const int x = 320 - (39 + 192);
            const QRgb hi = leftover >> 4 ? kWhite : before.pixel(x, 16);
            const QRgb lo = (leftover & 15) >= 9 ? kWhite : before.pixel(x, 17);
            QCOMPARE(img.pixel(x, 16), hi);
            QCOMPARE(img.pixel(x, 17), lo);
            QCOMPARE(img.pixel(x, 14), kGrey);
            QCOMPARE(img.pixel(x, 18), before.pixel(x, 18));
            QCOMPARE(img.pixel(x - 1, 0), before.pixel(x - 1, 0));
            QCOMPARE(img.pixel(x + 1, 239), kGrey);
        }
        QImage want = before;
        QCOMPARE(r.blockReads[3].n, n);
        r.decodeReads(want);
        COMPARE_IMAGES(img, want);
    }

    void queueOfTenThousandOrMoreStaysInBuffer_data()
    {
        QTest::addColumn<int>("queued");
        QTest::addColumn<int>("asked");
        QTest::newRow("9999") << 9999 << 9999;
        QTest::newRow("10000") << 10000 << 9999;
        QTest::newRow("65536") << 65536 << 9999;
    }
    void queueOfTenThousandOrMoreStaysInBuffer()
    {
        QFETCH(int, queued);
        QFETCH(int, asked);
        Rig r;
        r.state.QueueCount = 0;
        r.d2xx.queue = {DWORD(queued)};
        r.state.RxBuffer.fill(0x9F);
        r.mirror.assign(10000, 0x9F);
        const QImage before = pattern();
        r.setSurface(before);
        r.serve(0x0A, {randomBlock(1, 12000)});
        r.link.Open_USB();
        r.screen.Get_screen_data();
        QList<quint64> reads;
        for (const auto& c : r.d2xx.calls)
            if (c.fn == "Read")
                reads << c.a;
        QCOMPARE(reads.first(), quint64(asked));
        QCOMPARE(r.state.QueueCount, queued);   // kept as the queue reported it
        QImage want = before;
        r.decodeReads(want);
        COMPARE_IMAGES(r.surface.image(), want);
    }

    void fullScreenOverPreviousFrame()
    {
        // Mode 10 loads nothing: the screen is drawn over what was there.
        Rig r;
        const QImage before = pattern();
        r.setSurface(before);
        QList<QByteArray> blocks;
        for (int b = 0; b < 5; ++b)
            blocks << randomBlock(100 + b);
        r.serve(0x0A, blocks);
        r.screen.cmdDownLoad_Click();
        QCOMPARE(r.blockReads.size(), 5);
        QImage want = before;
        r.decodeReads(want);
        COMPARE_IMAGES(r.surface.image(), want);
        QCOMPARE(r.changes, 1);   // one repaint for the frame
        QCOMPARE(r.state.DisplayMode, 10);
    }

    // ---- one frame ------------------------------------------------------

    void oneFrameCallSequence()
    {
        writePicture("wfm_eu.bmp", solid(64, 48, qRgb(0, 128, 128)));
        Rig r;
        r.state.QueueCount = 0;   // as after start: the first block polls
        r.d2xx.queue = {0, 4000, 8192};
        QList<QByteArray> blocks;
        for (int b = 0; b < 5; ++b)
            blocks << randomBlock(200 + b);
        r.serve(0x21, blocks);
        r.screen.cmdDownLoad_Click();

        QStringList want = {"ListDevices", "OpenEx", "Write", "SetTimeouts", "Read",
                            "Write", "SetTimeouts", "GetQueueStatus", "GetQueueStatus", "GetQueueStatus", "Read"};
        for (int b = 1; b < 5; ++b)
            want << "Write" << "SetTimeouts" << "Read";
        want << "Write" << "Close";
        QCOMPARE(r.d2xx.names(), want);
        QCOMPARE(r.d2xx.writtenCodes(), (QList<int>{242, 246, 246, 246, 246, 246, 244}));
        const auto& c = r.d2xx.calls;
        QCOMPARE(c[0].a, 0ull);
        QCOMPARE(c[0].b, 0x40000001ull);
        QCOMPARE(c[1].bytes, QByteArray("CM123456"));
        QCOMPARE(c[1].b, 1ull);
        for (int i = 2; i < c.size(); ++i) {
            QCOMPARE(c[i].handle, r.d2xx.handle);
            if (c[i].fn == "Write") {
                QCOMPARE(c[i].a, 2ull);
                QCOMPARE(quint8(c[i].bytes[1]), quint8(240));
            } else if (c[i].fn == "SetTimeouts") {
                QCOMPARE(c[i].a, 100ull);
                QCOMPARE(c[i].b, 0ull);
            }
        }
        QCOMPARE(c[4].a, 1ull);   // the mode byte
        for (int i = 5; i < c.size(); ++i)
            if (c[i].fn == "Read")
                QCOMPARE(c[i].a, 8192ull);   // what the queue last reported
        QCOMPARE(r.host.text1History, QStringList{frameMessage()});
        QCOMPARE(r.state.StatusText, QString());
        QCOMPARE(r.state.DisplayMode, 1);
        QVERIFY(!r.state.handleOpen);

        QImage img = withPicture(solid(64, 48, qRgb(0, 128, 128)));
        r.decodeReads(img);
        COMPARE_IMAGES(r.surface.image(), img);

        // The count carried over: the next frame reads every block at once.
        const int before = int(r.d2xx.calls.size());
        r.screen.cmdDownLoad_Click();
        QStringList second;
        for (int i = before; i < r.d2xx.calls.size(); ++i)
            second << r.d2xx.calls[i].fn;
        QVERIFY(!second.contains("GetQueueStatus"));
        QCOMPARE(second.count("Read"), 6);
    }

    void frameFailures_data()
    {
        QTest::addColumn<QString>("statuses");
        QTest::addColumn<QList<int>>("codes");        // commands that reached the driver
        QTest::addColumn<QStringList>("history");     // every text Text1 was given
        QTest::addColumn<QString>("statusText");
        QTest::addColumn<bool>("graticule");
        QTest::addColumn<QList<int>>("drawn");        // blocks read and drawn
        const QList<int> all{242, 246, 246, 246, 246, 246, 244};
        const QString dl = frameMessage();
        QTest::newRow("no instrument")
            << "ListDevices=2" << QList<int>{}
            << QStringList{"List Device Failed", dl, "Write Failed", "Send_byte_to_USB: USB Close Failed",
                           "USB SetTimeout Failed\r\n", "USB Close Failed"}
            << "USB SetTimeout Failed\r\n" << false << QList<int>{};
        QTest::newRow("time-outs in the click")
            << "SetTimeouts=4" << QList<int>{242} << QStringList{dl, "USB SetTimeout Failed\r\n"}
            << "USB SetTimeout Failed\r\n" << false << QList<int>{};
        QTest::newRow("mode byte read")
            << "Read=4" << all << QStringList{dl, "USB Read Failed\r\n"} << "USB Read Failed\r\n" << false
            << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("time-outs for a block")
            << "SetTimeouts=0,4" << QList<int>{242, 246, 244} << QStringList{dl, "SetTimeout Failed"} << ""
            << true << QList<int>{};
        QTest::newRow("queue status")
            << "GetQueueStatus=4" << all << QStringList{dl, "Queue Read Failed"} << "" << true
            << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("block read")
            << "Read=0,4" << all << QStringList{dl, "Read Failed"} << "" << true << QList<int>{1, 2, 3, 4};
        QTest::newRow("close")
            << "Close=4" << all << QStringList{dl, "USB Close Failed"} << "" << true << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("block command write")
            << "Write=0,4" << QList<int>{242, 246}
            << QStringList{dl, "Write Failed", "SetTimeout Failed", "Write Failed",
                           "Send_byte_to_USB: USB Close Failed", "USB Close Failed"}
            << "" << true << QList<int>{};
    }
    void frameFailures()
    {
        QFETCH(QString, statuses);
        QFETCH(QList<int>, codes);
        QFETCH(QStringList, history);
        QFETCH(QString, statusText);
        QFETCH(bool, graticule);
        QFETCH(QList<int>, drawn);
        const QImage picture = solid(100, 30, qRgb(128, 0, 128));
        writePicture("wfm_eu.bmp", picture);
        Rig r;
        if (statuses.startsWith("GetQueueStatus")) {
            r.state.QueueCount = 0;
            r.d2xx.queue = {8192};
        }
        setStatuses(r.d2xx, statuses);
        const QImage before = pattern();
        r.setSurface(before);
        QList<QByteArray> blocks;
        for (int b = 0; b < 5; ++b)
            blocks << randomBlock(300 + b);
        r.serve(0x01, blocks);
        r.screen.cmdDownLoad_Click();

        QCOMPARE(r.d2xx.writtenCodes(), codes);
        QCOMPARE(r.host.text1History, history);
        QCOMPARE(r.state.StatusText, statusText);
        QList<int> read;
        for (const auto& d : r.blockReads)
            read << d.block;
        QCOMPARE(read, drawn);
        QImage want = graticule ? withPicture(picture) : before;
        r.decodeReads(want);
        COMPARE_IMAGES(r.surface.image(), want);
        // Whatever failed, the device is not left open.
        QVERIFY(!r.state.handleOpen);
    }

    // ---- the bounded queue wait ----------------------------------------------

    void queueWaitGivesUp_data()
    {
        QTest::addColumn<bool>("statusFails");
        QTest::newRow("queue stuck at 100") << false;
        QTest::newRow("queue status always fails") << true;
    }
    void queueWaitGivesUp()
    {
        QFETCH(bool, statusFails);
        Rig r;
        r.screen.queueWaitLimitMs = 50;
        r.state.QueueCount = 0;
        r.d2xx.queue = {100};
        if (statusFails)
            r.d2xx.statuses["GetQueueStatus"] = QList<FT_STATUS>(1000000, FT_IO_ERROR);
        r.serve(0x0A, {randomBlock(1)});
        r.screen.cmdDownLoad_Click();
        // No block is read or requested after the one that never came; the
        // exchange still ends with 244 and the close.
        QCOMPARE(r.d2xx.writtenCodes(), (QList<int>{242, 246, 244}));
        QCOMPARE(r.d2xx.count("Read"), 1);
        QVERIFY(r.d2xx.count("GetQueueStatus") > 1);
        QCOMPARE(r.d2xx.names().last(), QString("Close"));
        const QString gaveUp = "Corvameter sent no screen data for 0.05 s: download abandoned\r\n";
        QCOMPARE(r.state.StatusText, gaveUp);
        QStringList history{frameMessage()};
        if (statusFails)
            history << "Queue Read Failed";
        history << gaveUp;
        QCOMPARE(r.host.text1History, history);
    }

    void queueWaitGoesOnWhileDataArrives()
    {
        // Slower in all than the limit, but the queue grows at every poll.
        Rig r;
        r.screen.queueWaitLimitMs = 40;
        r.state.QueueCount = 0;
        for (int i = 0; i <= 30; ++i)
            r.d2xx.queue << DWORD(i * 8192 / 30);
        r.d2xx.onCall = [](const FakeD2xx::Call& c) {
            if (c.fn == "GetQueueStatus")
                QThread::msleep(5);
        };
        r.serve(0x0A, {randomBlock(1)});
        r.screen.cmdDownLoad_Click();
        QCOMPARE(r.d2xx.count("GetQueueStatus"), 31);
        QCOMPARE(r.d2xx.writtenCodes().count(246), 5);
        QCOMPARE(r.blockReads.first().n, 8192);
        QCOMPARE(r.host.text1History, QStringList{frameMessage()});
    }

    // ---- display mode and graticule ------------------------------------------

    void modeTable_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("file");
        const char* files[17] = {nullptr, "wfm_eu.bmp", "wfm_ire.bmp", "wfm_dig.bmp", "vec_pal_cst.bmp",
                                 "vec_ntsc_cst.bmp", "vec_sd_ana.bmp", "vec_hd_ana.bmp", "vec_sd_dig.bmp",
                                 "vec_hd_dig.bmp", nullptr, "aud_bbc.bmp", "aud_vu.bmp", "aud_ebu.bmp",
                                 "aud_nordic.bmp", "aud_digi.bmp", "aud_din.bmp"};
        for (int m = 0; m <= 16; ++m)
            QTest::addRow("mode %d", m) << m << m << QString(files[m] ? files[m] : "");
        QTest::newRow("0x21: top bits ignored") << 0x21 << 1 << "wfm_eu.bmp";
        QTest::newRow("0xEB") << 0xEB << 11 << "aud_bbc.bmp";
        QTest::newRow("0x0A") << 0x0A << 10 << "";
        QTest::newRow("0x1F") << 0x1F << 31 << "";
        QTest::newRow("0x11") << 0x11 << 17 << "";
        QTest::newRow("0xE0") << 0xE0 << 0 << "";
    }
    void modeTable()
    {
        QFETCH(int, byte);
        QFETCH(int, mode);
        QFETCH(QString, file);
        // Every file present, each a different picture.
        const QStringList names = {"wfm_eu.bmp", "wfm_ire.bmp", "wfm_dig.bmp", "vec_pal_cst.bmp",
                                   "vec_ntsc_cst.bmp", "vec_sd_ana.bmp", "vec_hd_ana.bmp", "vec_sd_dig.bmp",
                                   "vec_hd_dig.bmp", "aud_bbc.bmp", "aud_vu.bmp", "aud_ebu.bmp",
                                   "aud_nordic.bmp", "aud_digi.bmp", "aud_din.bmp"};
        for (int i = 0; i < names.size(); ++i)
            writePicture(qPrintable(names[i]), solid(20 + 10 * i, 10 + 5 * i, qRgb(10 * i, 255 - 10 * i, 64)));
        Rig r;
        const QImage before = pattern();
        r.setSurface(before);
        r.state.RxBuffer[0] = uint8_t(byte);
        r.screen.Load_graticule();
        QCOMPARE(r.state.DisplayMode, mode);
        QImage want = before;
        if (!file.isEmpty()) {
            const int i = int(names.indexOf(file));
            want = withPicture(solid(20 + 10 * i, 10 + 5 * i, qRgb(10 * i, 255 - 10 * i, 64)));
        }
        COMPARE_IMAGES(r.surface.image(), want);
        QVERIFY(r.host.text1History.isEmpty());
    }

    void graticuleReadForEveryFrame()
    {
        Rig r;
        r.state.RxBuffer[0] = 0x03;
        writePicture("wfm_dig.bmp", solid(50, 50, qRgb(255, 0, 0)));
        r.screen.Load_graticule();
        COMPARE_IMAGES(r.surface.image(), withPicture(solid(50, 50, qRgb(255, 0, 0))));
        const QImage bigger = solid(400, 300, qRgb(0, 0, 255));   // larger than the display: cut off
        writePicture("wfm_dig.bmp", bigger);
        r.screen.Load_graticule();
        COMPARE_IMAGES(r.surface.image(), withPicture(bigger));
    }

    void graticuleThatCannotBeLoaded_data()
    {
        QTest::addColumn<QByteArray>("content");   // empty: no file
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("not a picture") << QByteArray("BM this is no bitmap at all");
    }
    void graticuleThatCannotBeLoaded()
    {
        QFETCH(QByteArray, content);
        if (!content.isEmpty()) {
            QFile f(dir_.filePath("aud_vu.bmp"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        Rig r;
        r.setSurface(pattern());
        r.state.RxBuffer[119] = 150;   // level of bar 1
        QList<QByteArray> blocks;
        for (int b = 0; b < 5; ++b)
            blocks << randomBlock(400 + b);
        r.serve(0x0C, blocks);
        r.screen.cmdDownLoad_Click();
        // Reported, and the frame goes on: bars, blocks, end command, close.
        const QString msg = QString("Graticule aud_vu.bmp could not be loaded from %1\r\n")
                                .arg(QDir::toNativeSeparators(QDir::currentPath()));
        QCOMPARE(r.state.StatusText, msg);
        QCOMPARE(r.host.text1History, (QStringList{frameMessage(), msg}));
        QCOMPARE(r.state.DisplayMode, 12);
        QCOMPARE(r.d2xx.writtenCodes(), (QList<int>{242, 246, 246, 246, 246, 246, 244}));
        QCOMPARE(r.d2xx.names().last(), QString("Close"));
        QImage want(320, 240, QImage::Format_RGB32);
        want.fill(kBlack);
        const uint8_t levels[4] = {150, 0, 0, 0};
        bars(want, levels);
        r.decodeReads(want);
        COMPARE_IMAGES(r.surface.image(), want);
    }

    // ---- level bars -----------------------------------------------------------

    void levelBars_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QList<int>>("levels");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("mode 10: none") << 10 << QList<int>{0, 50, 100, 150} << false;
        QTest::newRow("mode 11, all 0") << 11 << QList<int>{0, 0, 0, 0} << true;
        QTest::newRow("mode 31") << 31 << QList<int>{10, 100, 180, 205} << true;
        QTest::newRow("206 one row, 230 hangs down") << 16 << QList<int>{206, 230, 207, 255} << true;
        QTest::newRow("mode 1: none") << 1 << QList<int>{0, 0, 0, 0} << false;
    }
    void levelBars()
    {
        QFETCH(int, mode);
        QFETCH(QList<int>, levels);
        QFETCH(bool, drawn);
        Rig r;
        const QImage before = pattern();
        r.setSurface(before);
        r.state.DisplayMode = mode;
        const int positions[4] = {120, 122, 124, 126};
        uint8_t lv[4];
        for (int i = 0; i < 4; ++i) {
            lv[i] = uint8_t(levels[i]);
            r.state.RxBuffer[size_t(positions[i] - 1)] = lv[i];
            // The bytes between are not levels.
            r.state.RxBuffer[size_t(positions[i])] = 3;
        }
        r.screen.Draw_level_bars();
        QImage want = before;
        if (drawn)
            bars(want, lv);
        COMPARE_IMAGES(r.surface.image(), want);
    }

    void barsShowThePreviousFrameUnderThePixels()
    {
        writePicture("aud_bbc.bmp", solid(320, 240, qRgb(0, 0, 128)));
        Rig r;
        // Frame 1's block 4 carries the levels the next frame shows.
        auto blockOf = [](int frame, int block) {
            QByteArray b = randomBlock(uint(500 + frame * 10 + block));
            for (int i = 0; i < b.size(); ++i)
                if (i % 3)
                    b[i] = 0;   // plenty of 0 pixels, which leave the bars showing
            if (block == 4) {
                b[119] = char(40 + frame);
                b[121] = char(90 + frame);
                b[123] = char(206);
                b[125] = char(230);
            }
            return b;
        };
        r.serve([](int) { return uint8_t(0x0B); }, blockOf);
        r.screen.cmdDownLoad_Click();
        QImage want = withPicture(solid(320, 240, qRgb(0, 0, 128)));
        const uint8_t first[4] = {0, 0, 0, 0};   // the buffer as at start
        bars(want, first);
        r.decodeReads(want);
        COMPARE_IMAGES(r.surface.image(), want);

        const int from = int(r.blockReads.size());
        r.screen.cmdDownLoad_Click();
        want = withPicture(solid(320, 240, qRgb(0, 0, 128)));
        const uint8_t second[4] = {40, 90, 206, 230};
        bars(want, second);
        r.decodeReads(want, from);
        COMPARE_IMAGES(r.surface.image(), want);
        QCOMPARE(r.screen.levels, (std::array<uint8_t, 4>{40, 90, 206, 230}));
    }

    // ---- continuous download ------------------------------------------------

    void continuousRunStoppedDuringAPause()
    {
        Rig r;
        QList<int> intervalsBefore242;
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn != "Write")
                return;
            if (quint8(c.bytes[0]) == 242)
                intervalsBefore242 << (r.state.TimerFired ? r.link.Timer1.interval() : -1);
            if (quint8(c.bytes[0]) == 244 && r.d2xx.writtenCodes().count(244) == 3)
                QTimer::singleShot(0, [&] { r.screen.cmdStop_Click(); });   // heard in the pause
        };
        QList<QByteArray> blocks;
        for (int b = 0; b < 5; ++b)
            blocks << randomBlock(600 + b);
        r.serve(0x0A, blocks);
        r.screen.cmdContinuous_Click();

        QList<int> cycle{242, 246, 246, 246, 246, 246, 244};
        QCOMPARE(r.d2xx.writtenCodes(), cycle + cycle + cycle);
        QCOMPARE(r.d2xx.count("Close"), 1);
        QCOMPARE(r.d2xx.names().last(), QString("Close"));
        QCOMPARE(r.d2xx.count("OpenEx"), 1);
        // Each later cycle starts after a 100 ms pause has run out.
        QCOMPARE(intervalsBefore242, (QList<int>{-1, 100, 100}));
        // The stop came during the third pause, which ran to its end.
        QVERIFY(r.state.TimerFired);
        QVERIFY(!r.state.ContinuousOn);
        QCOMPARE(r.host.text1History, QStringList{continuousMessage()});
        QCOMPARE(r.changes, 3);
        QImage want(320, 240, QImage::Format_RGB32);
        want.fill(kBlack);
        r.decodeReads(want);
        COMPARE_IMAGES(r.surface.image(), want);
    }

    void continuousFailures_data()
    {
        QTest::addColumn<QString>("statuses");
        QTest::addColumn<int>("stopAfter");      // cycles before "Stop"; 0: the run ends by itself
        QTest::addColumn<QList<int>>("codes");
        QTest::addColumn<QStringList>("history");
        QTest::addColumn<QString>("statusText");
        QTest::addColumn<bool>("stillOn");
        QTest::addColumn<int>("closes");         // closes that reached the driver
        const QList<int> cycle{242, 246, 246, 246, 246, 246, 244};
        const QString cm = continuousMessage();
        QTest::newRow("no instrument")
            << "ListDevices=2" << 0 << QList<int>{}
            << QStringList{"List Device Failed", cm, "Write Failed", "Send_byte_to_USB: USB Close Failed",
                           "USB SetTimeout Failed\r\n", "USB Close Failed"}
            << "USB SetTimeout Failed\r\n" << true << 0;
        QTest::newRow("time-outs")
            << "SetTimeouts=4" << 0 << QList<int>{242} << QStringList{cm, "USB SetTimeout Failed\r\n"}
            << "USB SetTimeout Failed\r\n" << true << 1;
        QTest::newRow("242 write")
            << "Write=4" << 0 << QList<int>{242}
            << QStringList{cm, "Write Failed", "USB SetTimeout Failed\r\n", "USB Close Failed"}
            << "USB SetTimeout Failed\r\n" << true << 1;
        QTest::newRow("1-byte read in every cycle")
            << "Read=4,0,0,0,0,0,4,0,0,0,0,0,4" << 3 << cycle + cycle + cycle
            << QStringList{cm, "USB Read Failed\r\n", "USB Read Failed\r\nUSB Read Failed\r\n",
                           "USB Read Failed\r\nUSB Read Failed\r\nUSB Read Failed\r\n"}
            << "USB Read Failed\r\nUSB Read Failed\r\nUSB Read Failed\r\n" << false << 1;
        QTest::newRow("time-outs for a block")
            << "SetTimeouts=0,4" << 2 << QList<int>{242, 246, 244} + cycle
            << QStringList{cm, "SetTimeout Failed"} << "" << false << 1;
        QTest::newRow("244 write")
            << "Write=0,0,0,0,0,0,4" << 0 << cycle
            << QStringList{cm, "Write Failed", "Write Failed", "Send_byte_to_USB: USB Close Failed",
                           "USB SetTimeout Failed\r\n", "USB Close Failed"}
            << "USB SetTimeout Failed\r\n" << true << 1;
        QTest::newRow("close")
            << "Close=4" << 1 << cycle << QStringList{cm, "USB Close Failed"} << "" << false << 1;
    }
    void continuousFailures()
    {
        QFETCH(QString, statuses);
        QFETCH(int, stopAfter);
        QFETCH(QList<int>, codes);
        QFETCH(QStringList, history);
        QFETCH(QString, statusText);
        QFETCH(bool, stillOn);
        QFETCH(int, closes);
        Rig r;
        setStatuses(r.d2xx, statuses);
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn == "Write" && quint8(c.bytes[0]) == 244 && r.d2xx.writtenCodes().count(244) == stopAfter)
                QTimer::singleShot(0, [&] { r.screen.cmdStop_Click(); });
        };
        r.serve(0x0A, {randomBlock(1), randomBlock(2), randomBlock(3), randomBlock(4), randomBlock(5)});
        r.screen.cmdContinuous_Click();
        QCOMPARE(r.d2xx.writtenCodes(), codes);
        QCOMPARE(r.host.text1History, history);
        QCOMPARE(r.state.StatusText, statusText);
        QCOMPARE(r.state.ContinuousOn, stillOn);
        QCOMPARE(r.d2xx.count("Close"), closes);
        QVERIFY(!r.state.handleOpen);
    }

    void continuousEndsWhenTheInstrumentStopsSending()
    {
        Rig r;
        r.screen.queueWaitLimitMs = 30;
        r.state.QueueCount = 0;
        r.d2xx.queue = {0};
        r.serve(0x0A, {});
        r.screen.cmdContinuous_Click();
        QCOMPARE(r.d2xx.writtenCodes(), (QList<int>{242, 246, 244}));
        QCOMPARE(r.d2xx.names().last(), QString("Close"));
        QCOMPARE(r.state.StatusText, QString("Corvameter sent no screen data for 0.03 s: download abandoned\r\n"));
        QVERIFY(!r.state.handleOpen);
    }

    void nestedContinuousOneStopEndsBoth()
    {
        Rig r;
        int nestedStarted = 0;
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn != "Write" || quint8(c.bytes[0]) != 244)
                return;
            const int ends = int(r.d2xx.writtenCodes().count(244));
            if (ends == 1)   // "Continuous" clicked in the first pause
                QTimer::singleShot(0, [&] { ++nestedStarted; r.screen.cmdContinuous_Click(); });
            if (ends == 3)
                QTimer::singleShot(0, [&] { r.screen.cmdStop_Click(); });
        };
        r.serve(0x0A, {randomBlock(1), randomBlock(2), randomBlock(3), randomBlock(4), randomBlock(5)});
        r.screen.cmdContinuous_Click();
        QCOMPARE(nestedStarted, 1);
        // Outer cycle, two inner cycles; the inner run closes the device and
        // the outer run, back from its pause, finds it closed.
        QCOMPARE(r.d2xx.writtenCodes().count(242), 3);
        QCOMPARE(r.d2xx.count("Close"), 1);
        QCOMPARE(r.host.text, QString("USB Close Failed"));
        QVERIFY(!r.state.ContinuousOn);
    }

    void oneFrameDuringAPauseEndsTheRun()
    {
        Rig r;
        bool clicked = false;
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (!clicked && c.fn == "Write" && quint8(c.bytes[0]) == 244) {
                clicked = true;
                QTimer::singleShot(0, [&] { r.screen.cmdDownLoad_Click(); });
            }
        };
        r.serve(0x0A, {randomBlock(1), randomBlock(2), randomBlock(3), randomBlock(4), randomBlock(5)});
        r.screen.cmdContinuous_Click();
        // The nested frame's close ends the connection; the run's next cycle
        // then fails on the closed handle.
        QList<int> cycle{242, 246, 246, 246, 246, 246, 244};
        QCOMPARE(r.d2xx.writtenCodes(), cycle + cycle);
        QCOMPARE(r.state.StatusText, QString("USB SetTimeout Failed\r\n"));
        QCOMPARE(r.host.text, QString("USB Close Failed"));
    }

    // ---- clear ---------------------------------------------------------------

    void clearBlacksOutAndResetsTheLog()
    {
        Rig r;
        QImage white(320, 240, QImage::Format_RGB32);
        white.fill(kWhite);
        r.setSurface(white);
        r.state.StatusText = "USB Read Failed\r\n";
        r.state.ContinuousOn = true;
        r.screen.cmdClear_Click();
        QImage black(320, 240, QImage::Format_RGB32);
        black.fill(kBlack);
        COMPARE_IMAGES(r.surface.image(), black);
        QCOMPARE(r.state.StatusText, QString(" "));
        QCOMPARE(r.host.text1History, QStringList{" "});
        QVERIFY(r.state.ContinuousOn);
        QVERIFY(r.d2xx.calls.isEmpty());
        QCOMPARE(r.changes, 1);
        r.link.appendStatus("USB Read Failed");
        QCOMPARE(r.host.text, QString(" USB Read Failed\r\n"));
    }
};

QTEST_MAIN(TestScreen)
#include "tst_screen.moc"
