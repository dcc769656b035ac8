#include "link_rig.h"
#include "screen.h"
#include "screen_expect.h"
#include <QtTest>

using namespace expect;
using Codes = QList<int>;

namespace {
const QString kFrame = "Downloaded 1 Frame\r\n", kRun = "Continuous Download:\r\nPress Stop to end";
const QString kNoData = "No screen data from the Corvameter";
const Codes kCycle{242, 246, 246, 246, 246, 246, 244};

// A picture with a mark that shows it is not shifted or flipped.
QImage solid(int w, int h, QRgb c)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    img.setPixel(0, 0, qRgb(255, 255, 0));
    return img;
}

// The instrument answers 242 with `mode` and the k-th 246 of a frame with
// blocks[k]; with no blocks every block read times out empty.
struct Rig : LinkRig {
    Surface surface;
    ScreenCapture screen{link, status, surface};

    explicit Rig(uint8_t mode = 0x0A, QList<QByteArray> blocks = {})
    {
        link.QueueCount = 8192;   // as after an earlier frame: no queue wait
        d2xx.reader = [this, mode, blocks](DWORD n) {
            return n == 1 ? QByteArray(1, char(mode)) : blocks.value((d2xx.writtenCodes().count(246) - 1) % 5);
        };
    }
};
} // namespace

class TestScreen : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;

    void writePicture(const QString& name, const QImage& img) { QVERIFY(img.save(dir_.filePath(name), "BMP")); }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid() && QDir::setCurrent(dir_.path())); }

    // One block among five empty reads, over a patterned display. The queue reports
    // what was sent, or a block's worth where a short block times out.
    void decode_data()
    {
        QTest::addColumn<int>("block");
        QTest::addColumn<int>("n");          // bytes sent
        QTest::addColumn<int>("fill");       // their value, but for:
        QTest::addColumn<QString>("set");    // "offset=hex ..."
        QTest::addColumn<int>("leftover");   // the buffer's earlier content
        QTest::addColumn<QString>("pixels"); // "x,y,C ...": K black, G grey, W white, - as before
        // Offsets 300 to 306 of block 2 are column 2, row pairs 44 to 50: x 190, y 88 to 101.
        QTest::newRow("nibbles: upper white from 8, lower from 9")
            << 2 << 8192 << 0 << "300=00 301=10 302=01 303=78 304=88 305=89 306=7F" << 0
            << "190,88,- 190,89,- 190,90,G 190,91,- 190,92,- 190,93,G 190,94,G 190,95,G "
               "190,96,W 190,97,G 190,98,W 190,99,W 190,100,G 190,101,W";
        // Offset 0 of a block (x 256) is never looked at; index 8192 tops the next
        // block's first column; rows from 240 on are clipped.
        QTest::newRow("column first bytes paint rows 0 and 1 black")
            << 1 << 8192 << 0x99 << "640=FF" << 0
            << "251,0,K 251,1,K 251,2,W 256,0,- 256,1,- 256,2,W 192,0,K 192,1,K 192,2,- 246,238,W 246,239,W";
        // Column 0 of block 0 would be x 320, beyond the display.
        QTest::newRow("block 0 column 1 at x 319") << 0 << 8192 << 0 << "5=F9 133=F8" << 0 << "319,10,W 319,11,G";
        QTest::newRow("block 4 column 63 at x 1") << 4 << 8192 << 0 << "8069=F9" << 0 << "1,10,W 1,11,W 0,0,K";
        // Block 3 starts at x 128; index 5000 is column 39 (x 89), pair 8, and takes position 5001.
        QTest::newRow("5000 bytes, position 5001 left over")
            << 3 << 5000 << 0x11 << "" << 0xF9 << "89,14,G 89,16,W 89,17,W 89,18,- 88,0,- 90,239,G";
        // A read of 9999 ends at column 78 (x 242), pair 15, and looks at the buffer's last byte.
        QTest::newRow("65536 queued: read 9999") << 0 << 65536 << 0x11 << "" << 0xFF << "242,30,W 242,31,W";
    }
    void decode()
    {
        QFETCH(int, block);
        QFETCH(int, n);
        QFETCH(int, fill);
        QFETCH(QString, set);
        QFETCH(int, leftover);
        QFETCH(QString, pixels);
        QByteArray bytes(n, char(fill));
        for (const QString& s : set.split(' ', Qt::SkipEmptyParts))
            bytes[s.section('=', 0, 0).toInt()] = char(s.section('=', 1).toInt(nullptr, 16));
        QList<QByteArray> blocks(5);
        blocks[block] = bytes;
        Rig r(0x0A, blocks);
        r.link.QueueCount = std::max(n, 8192);
        r.link.RxBuffer.fill(uint8_t(leftover));
        const QImage before = pattern();
        r.surface.image() = before;
        r.link.Open_USB();
        r.screen.Get_screen_data();
        const int asked = std::min(std::max(n, 8192), 9999);
        QCOMPARE(r.d2xx.calls.at(int(r.d2xx.names().indexOf("Read"))).a, quint64(asked));

        Model want{before, QByteArray(10000, char(leftover))};
        blocks[block] = bytes.left(asked);
        want.frame(0x0A, blocks);
        COMPARE_IMAGES(r.surface.image(), want.display);
        const QMap<QString, QRgb> colours{{"K", kBlack}, {"G", kGrey}, {"W", kWhite}};
        for (const QString& p : pixels.split(' ', Qt::SkipEmptyParts)) {
            const int x = p.section(',', 0, 0).toInt(), y = p.section(',', 1, 1).toInt();
            const QRgb c = colours.value(p.section(',', 2), before.pixel(x, y));
            QVERIFY2(r.surface.image().pixel(x, y) == c, qPrintable(p));
        }
    }

    // "1 Frame" with the queue on the fake clock: only the first block polls, the
    // others read the count it left. The queue grows slowly, below a count carried
    // over from an earlier exchange, and is waited for all the same. The close fails.
    void oneFrame()
    {
        Rig r;
        r.link.QueueCount = 8000;
        r.d2xx.queue = {0, 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000, 8192};
        r.d2xx.statuses["Close"] = {FT_IO_ERROR};
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn == "GetQueueStatus")
                r.clock.us += 20000;   // in all longer than a stall may last
        };
        r.screen.cmdDownLoad_Click();
        QStringList want{"ListDevices 0 40000001", "OpenEx 0 1 CM123456", "Write@1234 2 0 %F2%F0",
                         "SetTimeouts@1234 100 0", "Read@1234 1 0"};
        for (int b = 0; b < 5; ++b) {
            want << "Write@1234 2 0 %F6%F0" << "SetTimeouts@1234 100 0";
            if (b == 0)
                want << QStringList(10, "GetQueueStatus@1234 0 0");
            want << "Read@1234 8192 0";
        }
        QCOMPARE(r.d2xx.described(), want << "Write@1234 2 0 %F4%F0" << "Close@1234 0 0");
        QCOMPARE(r.host.text1History, (QStringList{kFrame, "USB Close Failed"}));
    }

    // A queue that never stops growing is read as it stands once the wait's time is up.
    void trickle()
    {
        Rig r;
        r.link.QueueCount = 0;
        r.d2xx.onCall = [&](const FakeD2xx::Call&) { r.d2xx.queue = {DWORD(r.d2xx.calls.size())}; };
        r.screen.cmdDownLoad_Click();
        const QStringList reads = r.d2xx.described().filter("Read@");
        QCOMPARE(reads.size(), 6);
        for (const QString& read : reads)
            QVERIFY2(read.section(' ', 1, 1).toInt() < 8185, qPrintable(read));
    }

    // A continuous run against failing driver calls: the statuses of one function,
    // in call order; "Stop" after stopAfter frames. The queue (one count per poll,
    // the last repeated) makes the first block wait.
    void failures_data()
    {
        QTest::addColumn<QString>("statuses");
        QTest::addColumn<QList<int>>("queue");
        QTest::addColumn<int>("stopAfter");
        QTest::addColumn<Codes>("codes");          // commands that reached the driver
        QTest::addColumn<QStringList>("history");  // every text Text1 was given
        QTest::addColumn<QString>("statusText");
        const QString st = "USB SetTimeout Failed\r\n", rd = "USB Read Failed\r\n";
        const QList<int> full{8192};
        QTest::newRow("no instrument") << "ListDevices=2" << full << 0 << Codes{}
            << QStringList{"List Device Failed", kRun, "Write Failed", "Send_byte_to_USB: USB Close Failed", st,
                           "USB Close Failed"} << st;
        QTest::newRow("time-outs end the run") << "SetTimeouts=4" << full << 0 << Codes{242} << QStringList{kRun, st} << st;
        QTest::newRow("mode byte read, every frame") << "Read=4,0,0,0,0,0,4,0,0,0,0,0,4" << full << 3
            << kCycle + kCycle + kCycle << QStringList{kRun, rd, rd + rd, rd + rd + rd} << rd + rd + rd;
        QTest::newRow("block time-outs: the run goes on") << "SetTimeouts=0,4" << full << 2 << Codes{242, 246, 244} + kCycle
                                                          << QStringList{kRun, "SetTimeout Failed"} << "";
        QTest::newRow("queue status") << "GetQueueStatus=4" << full << 1 << kCycle
                                      << QStringList{kRun, "Queue Read Failed"} << "";
        QTest::newRow("queue status keeps failing") << "GetQueueStatus=" + QStringList(400, "4").join(',')
            << QList<int>{100} << 1 << Codes{242, 246, 244} << QStringList{kRun, "Queue Read Failed"} << "";
        QTest::newRow("block read") << "Read=0,4" << full << 1 << kCycle << QStringList{kRun, "Read Failed"} << "";
        QTest::newRow("short blocks: read, no message") << "" << QList<int>{0, 5000} << 1 << kCycle << QStringList{kRun} << "";
        QTest::newRow("silent instrument: frames go by") << "" << QList<int>{0} << 2
            << Codes{242, 246, 244, 242, 246, 244} << QStringList{kRun, kNoData, kNoData} << "";
    }
    void failures()
    {
        QFETCH(QString, statuses);
        QFETCH(QList<int>, queue);
        QFETCH(int, stopAfter);
        Rig r;
        for (const QString& v : statuses.section('=', 1).split(',', Qt::SkipEmptyParts))
            r.d2xx.statuses[statuses.section('=', 0, 0)] << v.toUInt();
        for (int q : queue)
            r.d2xx.queue << DWORD(q);
        r.link.QueueCount = 0;
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn == "Write" && quint8(c.bytes[0]) == 244 && r.d2xx.writtenCodes().count(244) == stopAfter)
                QTimer::singleShot(0, [&] { r.screen.cmdStop_Click(); });
        };
        r.screen.cmdContinuous_Click();
        QTEST(r.d2xx.writtenCodes(), "codes");
        QTEST(r.host.text1History, "history");
        QTEST(r.status.StatusText, "statusText");
        QVERIFY(!r.link.handleOpen);
        // "Stop" is heard in the pause after a frame, and a successful close says nothing.
        if (stopAfter)
            QCOMPARE(r.link.Timer1.interval(), 100);
    }

    // Graticule and level bars, as a frame draws them before its blocks.
    void graticules_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("missing");
        for (int m = 0; m <= 16; ++m)
            QTest::addRow("mode %d", m) << m << m << false;
        QTest::newRow("0x1F: bars without a graticule") << 0x1F << 31 << false;
        QTest::newRow("0xEC, file missing") << 0xEC << 12 << true;
    }
    void graticules()
    {
        QFETCH(int, byte);
        QFETCH(int, mode);
        QFETCH(bool, missing);
        auto picture = [](int m) { return solid(20 + 10 * m, 10 + 5 * m, qRgb(10 * m, 255 - 10 * m, 64)); };
        for (int m = 1; m <= 16; ++m)
            if (!graticule(m).isEmpty())
                writePicture(graticule(m), picture(m));
        const QString file = graticule(mode);
        if (missing)
            QVERIFY(QFile::remove(file));
        Rig r;
        r.surface.image() = pattern();
        r.link.RxBuffer[0] = uint8_t(byte);
        // Levels at positions 120, 122, 124, 126; the bytes between are not levels.
        const uint8_t levels[4] = {0, 206, 230, uint8_t(40 + 5 * mode)};
        for (int i = 0; i < 4; ++i) {
            r.link.RxBuffer[size_t(119 + 2 * i)] = levels[i];
            r.link.RxBuffer[size_t(120 + 2 * i)] = 3;
        }
        r.screen.Load_graticule();
        r.screen.Draw_level_bars();   // modes above 10 only
        QCOMPARE(r.screen.DisplayMode, mode);
        QImage want = file.isEmpty() ? pattern() : withPicture(missing ? QImage() : picture(mode));
        if (mode > 10)
            bars(want, levels);
        COMPARE_IMAGES(r.surface.image(), want);
        const QString told = missing ? QString("Graticule %1 could not be loaded from %2\r\n")
                                           .arg(file, QDir::toNativeSeparators(QDir::currentPath()))
                                     : QString();
        QCOMPARE(r.status.StatusText, told);
        if (file.isEmpty())
            return;
        // Read afresh each time: a replaced file shows at once, cut off beyond the
        // display; a missing one is not told again while the mode stays.
        const QImage big = missing ? QImage() : solid(400, 300, qRgb(0, 0, 255));
        if (!missing)
            writePicture(file, big);
        r.screen.Load_graticule();
        COMPARE_IMAGES(r.surface.image(), withPicture(big));
        QCOMPARE(r.status.StatusText, told);
        if (!missing)
            return;
        // Told again after a frame in another mode.
        r.link.RxBuffer[0] = 1;
        r.screen.Load_graticule();
        r.link.RxBuffer[0] = 12;
        r.screen.Load_graticule();
        QCOMPARE(r.status.StatusText, told + told);
    }

    void clear()
    {
        Rig r;
        r.surface.image().fill(kWhite);
        r.status.StatusText = "USB Read Failed\r\n";
        r.screen.cmdClear_Click();
        COMPARE_IMAGES(r.surface.image(), withPicture(QImage()));
        QCOMPARE(r.status.StatusText, QString(" "));
        QCOMPARE(r.host.text1History, QStringList{" "});
        QVERIFY(r.d2xx.calls.isEmpty());
    }
};

QTEST_MAIN(TestScreen)
#include "tst_screen.moc"
