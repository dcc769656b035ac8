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

QList<QByteArray> randomBlocks(quint32 seed)
{
    QRandomGenerator gen(seed);
    QList<QByteArray> blocks(5, QByteArray(8192, '\0'));
    for (QByteArray& b : blocks)
        gen.fillRange(reinterpret_cast<quint32*>(b.data()), 2048);
    return blocks;
}

// Whole 8192-byte blocks: the buffer is the block itself, and index 8192 is a
// column's first byte, so nothing beyond it is looked at.
QImage decoded(QImage img, const QList<QByteArray>& blocks)
{
    for (int b = 0; b < 5; ++b)
        decodeBlock(img, reinterpret_cast<const uint8_t*>(blocks[b].constData()), 8192, b);
    return img;
}

// A picture with a mark that shows it is not shifted or flipped.
QImage solid(int w, int h, QRgb c)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    img.setPixel(0, 0, qRgb(255, 255, 0));
    return img;
}
QImage black() { return withPicture(QImage()); }

// The instrument answers 242 with `mode` and the k-th 246 of a frame with blocks[k].
struct Rig : LinkRig {
    Surface surface;
    ScreenCapture screen{state, link, host, surface};
    int changes = 0;

    explicit Rig(uint8_t mode = 0x0A, QList<QByteArray> blocks = {})
    {
        surface.onChanged = [this] { ++changes; };
        state.QueueCount = 8192;   // as after an earlier frame: no queue wait
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
        // Offset 0 of a block (x 256) is never looked at; index 8192 tops the next block's first column.
        QTest::newRow("column first bytes paint rows 0 and 1 black")
            << 1 << 8192 << 0x99 << "640=FF" << 0
            << "251,0,K 251,1,K 251,2,W 256,0,- 256,1,- 256,2,W 192,0,K 192,1,K 192,2,-";
        QTest::newRow("block 0 column 0 is beyond x 319") << 0 << 8192 << 0 << "5=F9" << 0 << "319,10,-";
        QTest::newRow("block 0 column 1 at x 319") << 0 << 8192 << 0 << "133=F9" << 0 << "319,10,W 319,11,W";
        QTest::newRow("block 4 column 63 at x 1") << 4 << 8192 << 0 << "8069=F9" << 0 << "1,10,W 1,11,W 0,0,K";
        QTest::newRow("rows 240 on clipped") << 1 << 8192 << 0xF9 << "" << 0 << "246,238,W 246,239,W";
        // Block 3 starts at x 128; index 5000 is column 39 (x 89), pair 8, and takes position 5001.
        QTest::newRow("5000 bytes, position 5001 white")
            << 3 << 5000 << 0x11 << "" << 0xF9 << "89,14,G 89,16,W 89,17,W 89,18,- 88,0,- 90,239,G";
        QTest::newRow("5000 bytes, position 5001 zero") << 3 << 5000 << 0x11 << "" << 0 << "89,14,G 89,16,- 89,17,-";
        QTest::newRow("128 bytes end on a first byte") << 3 << 128 << 0x11 << "" << 0xFF << "127,0,K 127,2,- 128,238,G";
        QTest::newRow("1 byte takes position 2") << 3 << 1 << 0x11 << "" << 0x9F << "128,2,W 128,3,W 128,4,-";
        QTest::newRow("nothing") << 3 << 0 << 0 << "" << 0xFF << "";
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
        r.state.QueueCount = std::max(n, 8192);
        r.state.RxBuffer.fill(uint8_t(leftover));
        const QImage before = pattern();
        r.surface.image() = before;
        r.link.Open_USB();
        r.screen.Get_screen_data();
        const int asked = std::min(std::max(n, 8192), 9999);
        QCOMPARE(r.d2xx.calls.at(int(r.d2xx.names().indexOf("Read"))).a, quint64(asked));

        const QByteArray buffer = bytes.left(asked) + QByteArray(10000, char(leftover)).mid(std::min(n, asked));
        QImage want = before;
        decodeBlock(want, reinterpret_cast<const uint8_t*>(buffer.constData()), std::min(n, asked), block);
        COMPARE_IMAGES(r.surface.image(), want);
        for (const QString& p : pixels.split(' ', Qt::SkipEmptyParts)) {
            const int x = p.section(',', 0, 0).toInt(), y = p.section(',', 1, 1).toInt();
            const QMap<QString, QRgb> colours{{"K", kBlack}, {"G", kGrey}, {"W", kWhite}};
            const QRgb c = colours.value(p.section(',', 2), before.pixel(x, y));
            QVERIFY2(r.surface.image().pixel(x, y) == c, qPrintable(p));
        }
    }

    void oneFrame()
    {
        const QImage picture = solid(64, 48, qRgb(0, 128, 128));
        writePicture("wfm_eu.bmp", picture);
        const QList<QByteArray> blocks = randomBlocks(200);
        Rig r(0x21, blocks);
        r.state.QueueCount = 0;   // as after start: the first block polls
        r.d2xx.queue = {0, 4000, 8192};
        r.screen.cmdDownLoad_Click();
        QStringList want{"ListDevices 0 40000001", "OpenEx 0 1 CM123456", "Write@1234 2 0 %F2%F0",
                         "SetTimeouts@1234 100 0", "Read@1234 1 0"};
        for (int b = 0; b < 5; ++b) {
            want << "Write@1234 2 0 %F6%F0" << "SetTimeouts@1234 100 0";
            if (b == 0)
                want << "GetQueueStatus@1234 0 0" << "GetQueueStatus@1234 0 0" << "GetQueueStatus@1234 0 0";
            want << "Read@1234 8192 0";   // what the queue last reported
        }
        QCOMPARE(r.d2xx.described(), want << "Write@1234 2 0 %F4%F0" << "Close@1234 0 0");
        QCOMPARE(r.host.text1History, QStringList{kFrame});
        QCOMPARE(r.state.StatusText, QString());
        QCOMPARE(r.state.DisplayMode, 1);
        QCOMPARE(r.changes, 1);
        COMPARE_IMAGES(r.surface.image(), decoded(withPicture(picture), blocks));
    }

    // Statuses of one driver function, in call order; "Stop" after stopAfter cycles. A queue
    // makes the first block wait.
    void failures_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<QString>("statuses");
        QTest::addColumn<QList<int>>("queue");
        QTest::addColumn<int>("stopAfter");
        QTest::addColumn<Codes>("codes");          // commands that reached the driver
        QTest::addColumn<QStringList>("history");  // every text Text1 was given
        QTest::addColumn<QString>("statusText");
        QTest::addColumn<int>("closes");
        const QString st = "USB SetTimeout Failed\r\n", rd = "USB Read Failed\r\n";
        const QList<int> no, q100{100};
        QTest::newRow("no instrument") << false << "ListDevices=2" << no << 0 << Codes{}
            << QStringList{"List Device Failed", kFrame, "Write Failed", "Send_byte_to_USB: USB Close Failed", st,
                           "USB Close Failed"} << st << 0;
        QTest::newRow("time-outs") << false << "SetTimeouts=4" << no << 0 << Codes{242} << QStringList{kFrame, st} << st << 1;
        QTest::newRow("mode byte read") << false << "Read=4" << no << 0 << kCycle << QStringList{kFrame, rd} << rd << 1;
        QTest::newRow("block time-outs") << false << "SetTimeouts=0,4" << no << 0 << Codes{242, 246, 244}
                                         << QStringList{kFrame, "SetTimeout Failed"} << "" << 1;
        QTest::newRow("queue status") << false << "GetQueueStatus=4" << QList<int>{8192} << 0 << kCycle
                                      << QStringList{kFrame, "Queue Read Failed"} << "" << 1;
        QTest::newRow("block read") << false << "Read=0,4" << no << 0 << kCycle << QStringList{kFrame, "Read Failed"} << "" << 1;
        QTest::newRow("close") << false << "Close=4" << no << 0 << kCycle << QStringList{kFrame, "USB Close Failed"} << "" << 1;
        QTest::newRow("block command write") << false << "Write=0,4" << no << 0 << Codes{242, 246}
            << QStringList{kFrame, "Write Failed", "SetTimeout Failed", "Write Failed",
                           "Send_byte_to_USB: USB Close Failed", "USB Close Failed"} << "" << 1;
        QTest::newRow("run: time-outs end it") << true << "SetTimeouts=4" << no << 0 << Codes{242} << QStringList{kRun, st} << st << 1;
        QTest::newRow("run: 242 write") << true << "Write=4" << no << 0 << Codes{242}
                                        << QStringList{kRun, "Write Failed", st, "USB Close Failed"} << st << 1;
        QTest::newRow("run: mode byte in every cycle") << true << "Read=4,0,0,0,0,0,4,0,0,0,0,0,4" << no << 3
            << kCycle + kCycle + kCycle << QStringList{kRun, rd, rd + rd, rd + rd + rd} << rd + rd + rd << 1;
        QTest::newRow("run: block time-outs go on") << true << "SetTimeouts=0,4" << no << 2 << Codes{242, 246, 244} + kCycle
                                                    << QStringList{kRun, "SetTimeout Failed"} << "" << 1;
        QTest::newRow("run: 244 write") << true << "Write=0,0,0,0,0,0,4" << no << 0 << kCycle
            << QStringList{kRun, "Write Failed", "Write Failed", "Send_byte_to_USB: USB Close Failed", st,
                           "USB Close Failed"} << st << 1;
        QTest::newRow("silent instrument") << false << "" << QList<int>{0} << 0 << Codes{242, 246, 244}
                                           << QStringList{kFrame, kNoData} << "" << 1;
        QTest::newRow("queue status keeps failing") << false << "GetQueueStatus=" + QStringList(400, "4").join(',') << q100
            << 0 << Codes{242, 246, 244} << QStringList{kFrame, "Queue Read Failed"} << "" << 1;
        QTest::newRow("run: goes on through frames without data") << true << "" << QList<int>{0} << 2
            << Codes{242, 246, 244, 242, 246, 244} << QStringList{kRun, kNoData, kNoData} << "" << 1;
        QTest::newRow("run: close") << true << "Close=4" << no << 1 << kCycle << QStringList{kRun, "USB Close Failed"} << "" << 1;
    }
    void failures()
    {
        QFETCH(bool, continuous);
        QFETCH(QString, statuses);
        QFETCH(QList<int>, queue);
        QFETCH(int, stopAfter);
        Rig r(0x0A, randomBlocks(300));
        for (const QString& v : statuses.section('=', 1).split(',', Qt::SkipEmptyParts))
            r.d2xx.statuses[statuses.section('=', 0, 0)] << v.toUInt();
        for (int q : queue)
            r.d2xx.queue << DWORD(q);
        if (!queue.isEmpty())
            r.state.QueueCount = 0;
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn == "Write" && quint8(c.bytes[0]) == 244 && r.d2xx.writtenCodes().count(244) == stopAfter)
                QTimer::singleShot(0, [&] { r.screen.cmdStop_Click(); });
        };
        continuous ? r.screen.cmdContinuous_Click() : r.screen.cmdDownLoad_Click();
        QTEST(r.d2xx.writtenCodes(), "codes");
        QTEST(r.host.text1History, "history");
        QTEST(r.state.StatusText, "statusText");
        QTEST(int(r.d2xx.count("Close")), "closes");
        QVERIFY(!r.state.handleOpen);
    }

    // The bounded wait for a block, on the fake clock. Each block's 246 installs its
    // queue script ("a,b,c": one count per poll, the last one repeated; "trickle":
    // one byte more at every poll; empty: as it was); a read gets at most a full block.
    void queueWaits_data()
    {
        QTest::addColumn<int>("carried");     // QueueCount left by an earlier exchange
        QTest::addColumn<QString>("scripts"); // per block, split by '|'
        QTest::addColumn<int>("msPerPoll");   // fake time each poll takes
        QTest::addColumn<QString>("reads");   // block read sizes; "*": a trickle's, 1 to 8184
        QTest::addColumn<int>("minMs");       // fake time of the frame
        QTest::addColumn<int>("maxMs");
        QTest::addColumn<QString>("text");
        QTest::newRow("carried count reads at once") << 8192 << "0" << 0 << "8192 8192 8192 8192 8192" << 0 << 0 << kFrame;
        QTest::newRow("short first block drawn, full ones after") << 0 << "0,3000,5000|8192" << 0
            << "5000 8192 8192 8192 8192" << 150 << 175 << kFrame;
        QTest::newRow("every block short") << 0 << "0,5000" << 0 << "5000 5000 5000 5000 5000" << 750 << 800 << kFrame;
        // Growing, but below the count carried over for longer than the stall limit.
        QTest::newRow("baseline is the first poll") << 8000 << "0,1000,2000,3000,4000,5000,6000,7000,8000,8192" << 20
            << "8192 8192 8192 8192 8192" << 180 << 400 << kFrame;
        QTest::newRow("trickle ends at the limit") << 0 << "trickle" << 0 << "* * * * *" << 2500 << 2550 << kFrame;
        QTest::newRow("nothing after a short block") << 0 << "0,700|0" << 0 << "700" << 300 << 320 << kNoData;
        // The read's time-out does the waiting; the frame goes on.
        QTest::newRow("carried count, nothing comes") << 8192 << "|" << 0 << "8192 8192 8192 8192 8192" << 0 << 0 << kFrame;
    }
    void queueWaits()
    {
        QFETCH(int, carried);
        QFETCH(QString, scripts);
        QFETCH(int, msPerPoll);
        QFETCH(QString, reads);
        const QList<QByteArray> blocks = randomBlocks(700);
        Rig r(0x0A, blocks);
        r.state.QueueCount = carried;
        // The last row's instrument answers nothing at all after the mode byte.
        const bool silent = scripts == "|";
        r.d2xx.reader = [&](DWORD n) {
            return n == 1 ? QByteArray(1, '\x0A') : silent ? QByteArray() : blocks.value(r.d2xx.writtenCodes().count(246) - 1).left(int(n));
        };
        DWORD trickle = 0;
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn == "GetQueueStatus") {
                r.clock.us += msPerPoll * 1000;
                if (scripts == "trickle")
                    r.d2xx.queue = {++trickle};
            }
            const QString script = scripts.section('|', r.d2xx.writtenCodes().count(246) - 1).section('|', 0, 0);
            if (c.fn == "Write" && quint8(c.bytes[0]) == 246 && !script.isEmpty() && script != "trickle") {
                r.d2xx.queue.clear();
                for (const QString& q : script.split(','))
                    r.d2xx.queue << q.toUInt();
            }
        };
        r.screen.cmdDownLoad_Click();

        QStringList got;
        QImage want = black();
        int block = 0;
        for (const FakeD2xx::Call& c : r.d2xx.calls) {
            if (c.fn != "Read" || c.a == 1)
                continue;
            got << QString::number(c.a);
            const QByteArray buffer = blocks[block].left(int(c.a)) + QByteArray(10000, '\0');
            if (!silent)
                decodeBlock(want, reinterpret_cast<const uint8_t*>(buffer.constData()), int(c.a), block);
            ++block;
        }
        const QStringList expected = reads.split(' ');
        QCOMPARE(got.size(), expected.size());
        for (int i = 0; i < got.size(); ++i)
            QVERIFY2(expected[i] == "*" ? got[i].toInt() >= 1 && got[i].toInt() < 8185 : got[i] == expected[i],
                     qPrintable(got.join(' ')));
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        QVERIFY2(r.clock.us >= minMs * 1000 && r.clock.us <= maxMs * 1000, qPrintable(QString::number(r.clock.us)));
        QTEST(r.host.text, "text");
        QCOMPARE(r.d2xx.writtenCodes().last(), 244);
        // Each read is drawn as far as it goes, over the empty mode-10 background.
        COMPARE_IMAGES(r.surface.image(), want);
    }

    // Graticule and level bars, as a frame draws them before its blocks.
    void graticules_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("damage");   // 1: file missing, 2: not a picture
        for (int m = 0; m <= 16; ++m)
            QTest::addRow("mode %d", m) << m << m << 0;
        QTest::newRow("0x21: top bits ignored") << 0x21 << 1 << 0;
        QTest::newRow("0xEB") << 0xEB << 11 << 0;
        QTest::newRow("0x1F") << 0x1F << 31 << 0;
        QTest::newRow("0x11") << 0x11 << 17 << 0;
        QTest::newRow("0xE0") << 0xE0 << 0 << 0;
        QTest::newRow("missing") << 0x0C << 12 << 1;
        QTest::newRow("not a picture") << 0x0C << 12 << 2;
    }
    void graticules()
    {
        QFETCH(int, byte);
        QFETCH(int, mode);
        QFETCH(int, damage);
        auto picture = [](int m) { return solid(20 + 10 * m, 10 + 5 * m, qRgb(10 * m, 255 - 10 * m, 64)); };
        for (int m = 1; m <= 16; ++m)
            if (!graticule(m).isEmpty())
                writePicture(graticule(m), picture(m));
        const QString file = graticule(mode);
        if (damage) {
            QFile f(file);
            QVERIFY(f.remove());
            QVERIFY(damage == 1 || (f.open(QIODevice::WriteOnly) && f.write("BM this is no bitmap at all") > 0));
        }
        Rig r;
        r.surface.image() = pattern();
        r.state.RxBuffer[0] = uint8_t(byte);
        // Levels at positions 120, 122, 124, 126; the bytes between are not levels.
        const uint8_t levels[4] = {0, 206, 230, uint8_t(40 + 5 * mode)};
        for (int i = 0; i < 4; ++i) {
            r.state.RxBuffer[size_t(119 + 2 * i)] = levels[i];
            r.state.RxBuffer[size_t(120 + 2 * i)] = 3;
        }
        r.screen.Load_graticule();
        r.screen.Draw_level_bars();   // modes above 10 only
        QCOMPARE(r.state.DisplayMode, mode);
        QImage want = file.isEmpty() ? pattern() : damage ? black() : withPicture(picture(mode));
        if (mode > 10)
            bars(want, levels);
        COMPARE_IMAGES(r.surface.image(), want);
        QCOMPARE(r.state.StatusText, damage ? QString("Graticule %1 could not be loaded from %2\r\n")
                                                  .arg(file, QDir::toNativeSeparators(QDir::currentPath()))
                                            : QString());
        if (file.isEmpty() || damage)
            return;
        // Read afresh each time: a replaced file shows at once, cut off beyond the display.
        writePicture(file, solid(400, 300, qRgb(0, 0, 255)));
        r.screen.Load_graticule();
        COMPARE_IMAGES(r.surface.image(), withPicture(solid(400, 300, qRgb(0, 0, 255))));
    }

    void continuousRunStoppedDuringAPause()
    {
        const QList<QByteArray> blocks = randomBlocks(600);
        Rig r(0x0A, blocks);
        QList<int> pauses;   // the pause that ran out before each 242
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn == "Write" && quint8(c.bytes[0]) == 242)
                pauses << (r.state.TimerFired ? r.link.Timer1.interval() : -1);
            if (c.fn == "Write" && quint8(c.bytes[0]) == 244 && r.d2xx.writtenCodes().count(244) == 3)
                QTimer::singleShot(0, [&] { r.screen.cmdStop_Click(); });
        };
        r.screen.cmdContinuous_Click();
        QCOMPARE(r.d2xx.writtenCodes(), kCycle + kCycle + kCycle);
        QCOMPARE(r.d2xx.names().filter(QRegularExpression("Open|Close")), (QStringList{"OpenEx", "Close"}));
        QCOMPARE(pauses, (QList<int>{-1, 100, 100}));
        QVERIFY(r.state.TimerFired && !r.state.ContinuousOn);   // the third pause ran to its end
        QCOMPARE(r.host.text1History, QStringList{kRun});
        QCOMPARE(r.changes, 3);
        COMPARE_IMAGES(r.surface.image(), decoded(black(), blocks));
    }

    // A frame whose blocks do not come goes by; a missing graticule is told once per change of mode.
    void continuousThroughGaps()
    {
        for (int m : {12, 13})
            QFile::remove(graticule(m));
        const QList<int> modes{12, 12, 13, 13, 12};
        const int gap = 2;
        const QList<QByteArray> blocks = randomBlocks(800);
        Rig r;
        r.state.QueueCount = 0;
        r.d2xx.queue = {8192};
        r.d2xx.reader = [&](DWORD n) {
            const int frame = r.d2xx.writtenCodes().count(242) - 1;
            return n == 1 ? QByteArray(1, char(modes.value(frame))) : frame == gap ? QByteArray() : blocks.value(r.d2xx.writtenCodes().count(246) % 5);
        };
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn == "Write" && quint8(c.bytes[0]) == 244 && r.d2xx.writtenCodes().count(244) == modes.size())
                r.screen.cmdStop_Click();
        };
        r.screen.cmdContinuous_Click();
        QCOMPARE(r.d2xx.writtenCodes(), kCycle + kCycle + kCycle + kCycle + kCycle);
        const QString here = QDir::toNativeSeparators(QDir::currentPath());
        auto missing = [&](int m) { return QString("Graticule %1 could not be loaded from %2\r\n").arg(graticule(m), here); };
        const QString all = missing(12) + missing(13) + missing(12);
        QCOMPARE(r.state.StatusText, all);
        QCOMPARE(r.host.text1History, (QStringList{kRun, missing(12), missing(12) + missing(13), all}));
        QCOMPARE(r.d2xx.count("Close"), 1);
    }

    void clear()
    {
        Rig r;
        r.surface.image().fill(kWhite);
        r.state.StatusText = "USB Read Failed\r\n";
        r.screen.cmdClear_Click();
        COMPARE_IMAGES(r.surface.image(), black());
        QCOMPARE(r.state.StatusText, QString(" "));
        QCOMPARE(r.host.text1History, QStringList{" "});
        QVERIFY(r.d2xx.calls.isEmpty() && r.changes == 1);
    }
};

QTEST_MAIN(TestScreen)
#include "tst_screen.moc"
