// Screen capture against the simulated instrument: what the display shows,
// frame after frame, is checked against a decode of the instrument's known
// frames made here from the wire format.
#include "fake_host.h"
#include "screen.h"
#include "screen_expect.h"
#include "simulator.h"
#include <QtTest>

using namespace expect;

class TestScreenSim : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(QDir::setCurrent(QStringLiteral(CORVA_GRATICULE_DIR)), CORVA_GRATICULE_DIR); }

    void framesMatchTheInstrument_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<QString>("faults");
        QTest::addColumn<std::vector<int>>("modes");
        QTest::newRow("one frame at a time") << false << "" << std::vector<int>{0x21, 0x4B, 0x0A, 0x1F, 0xE4, 0x10, 0x0C};
        QTest::newRow("continuous") << true << "" << std::vector<int>{0x0B, 0x2C, 0x03, 0x1F, 0x06, 0x0F};
        // Every block 100 bytes short: each read times out with what came.
        QTest::newRow("short blocks") << false << "short-block=100" << std::vector<int>{0x0A, 0x0C};
    }
    void framesMatchTheInstrument()
    {
        QFETCH(bool, continuous);
        QFETCH(QString, faults);
        QFETCH(std::vector<int>, modes);
        SimConfig cfg;
        cfg.bytesPerSecond = 2e6;
        cfg.modes = modes;
        cfg.faults = faults;
        Simulator sim(cfg);
        State state;
        FakeHost host;
        Link link{state, sim, host};
        Surface surface;
        ScreenCapture screen{state, link, host, surface};
        if (!faults.isEmpty())
            state.QueueCount = 8192;   // as after an earlier frame: blocks are read without a wait
        const int frames = int(modes.size());
        QList<QImage> shown;
        surface.onChanged = [&] {
            shown << surface.image().copy();
            if (continuous && shown.size() == frames)
                QTimer::singleShot(0, [&] { screen.cmdStop_Click(); });
        };
        for (int f = 0; f < (continuous ? 1 : frames); ++f)
            continuous ? screen.cmdContinuous_Click() : screen.cmdDownLoad_Click();
        QCOMPARE(shown.size(), frames);
        QCOMPARE(sim.framesStarted(), frames);
        QVERIFY(!sim.isOpen());
        QCOMPARE(state.StatusText, QString());

        // The display and receive buffer as the instrument's frames leave them.
        Model want;
        for (int f = 0; f < frames; ++f) {
            const uint8_t mode = Simulator::modeByteFor(cfg, f);
            if (const QString file = graticule(mode & 31); !file.isEmpty())   // our own bitmaps fill the display
                QCOMPARE(QImage(file).size(), QSize(320, 240));
            QList<QByteArray> blocks;
            for (int b = 0; b < 5; ++b)
                blocks << Simulator::screenBlock(f, b, mode).chopped(faults.isEmpty() ? 0 : 100);
            want.frame(mode, blocks);
            COMPARE_IMAGES(shown[f], want.display);
        }
    }
};

QTEST_MAIN(TestScreenSim)
#include "tst_screen_sim.moc"
