// Screen capture against the simulated instrument: what the display shows,
// frame after frame, is checked against a decode of the instrument's known
// frames made here from the wire format.
#include "fake_host.h"
#include "screen.h"
#include "screen_expect.h"
#include "simulator.h"
#include <QDir>
#include <QTimer>
#include <QtTest>
#include <vector>

using namespace expect;

namespace {

const char* fileFor(int mode)
{
    switch (mode) {
    case 1: return "wfm_eu.bmp";
    case 2: return "wfm_ire.bmp";
    case 3: return "wfm_dig.bmp";
    case 4: return "vec_pal_cst.bmp";
    case 5: return "vec_ntsc_cst.bmp";
    case 6: return "vec_sd_ana.bmp";
    case 7: return "vec_hd_ana.bmp";
    case 8: return "vec_sd_dig.bmp";
    case 9: return "vec_hd_dig.bmp";
    case 11: return "aud_bbc.bmp";
    case 12: return "aud_vu.bmp";
    case 13: return "aud_ebu.bmp";
    case 14: return "aud_nordic.bmp";
    case 15: return "aud_digi.bmp";
    case 16: return "aud_din.bmp";
    default: return nullptr;
    }
}

// The display and receive buffer as the instrument's frames should leave them.
struct Expected {
    QImage img;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(10000, 0);
    Expected()
    {
        img = QImage(320, 240, QImage::Format_RGB32);
        img.fill(kBlack);
    }
    void frame(const SimConfig& cfg, int f, int shortBy = 0)
    {
        const uint8_t modeByte = Simulator::modeByteFor(cfg, f);
        buffer[0] = modeByte;
        const int mode = modeByte & 31;
        if (const char* file = fileFor(mode)) {
            QImage picture(QString::fromLatin1(file));
            QVERIFY2(!picture.isNull(), file);
            img = withPicture(picture);
        }
        if (mode > 10) {
            const uint8_t levels[4] = {buffer[119], buffer[121], buffer[123], buffer[125]};
            bars(img, levels);
        }
        for (int b = 0; b < 5; ++b) {
            const QByteArray block = Simulator::screenBlock(f, b, modeByte).chopped(shortBy);
            std::copy(block.begin(), block.end(), buffer.begin());
            decodeBlock(img, buffer.data(), int(block.size()), b);
        }
    }
};

struct Rig {
    explicit Rig(SimConfig c) : cfg(c), sim(c) {}
    SimConfig cfg;
    Simulator sim;
    State state;
    FakeHost host;
    Link link{state, sim, host};
    Surface surface;
    ScreenCapture screen{state, link, host, surface};
};

} // namespace

class TestScreenSim : public QObject {
    Q_OBJECT
    QString startDir_;

private slots:
    void initTestCase()
    {
        startDir_ = QDir::currentPath();
        QVERIFY2(QDir::setCurrent(QStringLiteral(CORVA_GRATICULE_DIR)), CORVA_GRATICULE_DIR);
    }
    void cleanupTestCase() { QDir::setCurrent(startDir_); }

    // Our own bitmaps: every one there, display-sized, in the palette only.
    void graticuleFilesFitTheDisplay()
    {
        QList<QRgb> palette;
        for (int i = 0; i < 16; ++i)
            palette << Surface::paletteColour(i);
        for (int mode = 1; mode <= 16; ++mode) {
            const char* file = fileFor(mode);
            if (!file)
                continue;
            const QImage img = QImage(QString::fromLatin1(file)).convertToFormat(QImage::Format_RGB32);
            QVERIFY2(!img.isNull(), file);
            QCOMPARE(img.size(), QSize(320, 240));
            int drawn = 0;
            for (int y = 0; y < 240; ++y)
                for (int x = 0; x < 320; ++x) {
                    QVERIFY2(palette.contains(img.pixel(x, y)), file);
                    drawn += img.pixel(x, y) != kBlack;
                }
            QVERIFY2(drawn > 1000, file);   // a scale, not an empty picture
        }
    }

    void singleFramesMatchTheInstrument()
    {
        SimConfig cfg;
        cfg.bytesPerSecond = 2e6;
        cfg.modes = {0x21, 0x4B, 0x0A, 0x1F, 0xE4, 0x10, 0x0C};
        Rig r(cfg);
        Expected want;
        for (int f = 0; f < int(cfg.modes.size()); ++f) {
            r.screen.cmdDownLoad_Click();
            want.frame(cfg, f);
            COMPARE_IMAGES(r.surface.image(), want.img);
            QCOMPARE(r.host.text, QString("Downloaded 1 Frame\r\n"));
            QVERIFY(!r.sim.isOpen());
        }
        QCOMPARE(r.sim.framesStarted(), int(cfg.modes.size()));
        QCOMPARE(r.state.QueueCount, 8192);
    }

    void continuousRunMatchesFrameAfterFrame()
    {
        SimConfig cfg;
        cfg.bytesPerSecond = 2e6;
        cfg.modes = {0x0B, 0x2C, 0x03, 0x1F, 0x06, 0x0F};
        Rig r(cfg);
        QList<QImage> shown;
        r.surface.onChanged = [&] {
            shown << r.surface.image().copy();
            if (shown.size() == 6)
                QTimer::singleShot(0, [&] { r.screen.cmdStop_Click(); });
        };
        r.screen.cmdContinuous_Click();
        QCOMPARE(shown.size(), 6);
        QCOMPARE(r.sim.framesStarted(), 6);
        Expected want;
        for (int f = 0; f < 6; ++f) {
            want.frame(cfg, f);
            COMPARE_IMAGES(shown[f], want.img);
        }
        QVERIFY(!r.sim.isOpen());
        QCOMPARE(r.host.text1History, QStringList{"Continuous Download:\r\nPress Stop to end"});
    }

    void shortBlocksLeaveTheRestAsItWas()
    {
        // After an earlier frame the carried queue count lets every block be
        // read at once; each arrives 100 bytes short and the read times out.
        SimConfig cfg;
        cfg.bytesPerSecond = 4e6;
        cfg.modes = {0x0A};
        cfg.faults = "short-block=100";
        Rig r(cfg);
        r.state.QueueCount = 8192;
        r.screen.cmdDownLoad_Click();
        Expected want;
        want.frame(cfg, 0, 100);
        COMPARE_IMAGES(r.surface.image(), want.img);
    }

    void stalledInstrumentIsGivenUp()
    {
        SimConfig cfg;
        cfg.modes = {0x0A};
        cfg.faults = "stall-after=0";
        Rig r(cfg);
        r.screen.queueWaitLimitMs = 100;
        r.screen.cmdDownLoad_Click();
        QCOMPARE(r.state.StatusText, QString("Corvameter sent no screen data for 0.1 s: download abandoned\r\n"));
        QVERIFY(!r.sim.isOpen());
        QVERIFY(!r.state.handleOpen);
        // The next frame starts a fresh exchange on the same terms.
        r.screen.cmdDownLoad_Click();
        QCOMPARE(r.sim.framesStarted(), 2);
    }
};

QTEST_MAIN(TestScreenSim)
#include "tst_screen_sim.moc"
