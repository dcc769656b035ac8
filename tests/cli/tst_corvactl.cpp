// corvactl as a script runs it: a separate process on the drop-in simulator
// library. Its pictures are checked against a decode of the instrument's
// frames made here from the wire format, its log against the window's
// status box after the same download.
#include "dynamic_d2xx.h"
#include "errorlog.h"
#include "fake_host.h"
#include "screen_expect.h"
#include "simulator.h"
#include <QtTest>
#ifndef Q_OS_WIN
#include <csignal>
#endif

using namespace expect;

class TestCorvactl : public QObject {
    Q_OBJECT

    struct Run {
        int code;
        QByteArray out, err;
    };

    // The simulator's driver library found by the loader, or not.
    static void simLibrary(QProcessEnvironment& e, bool found)
    {
#ifdef Q_OS_WIN
        const QString path = QProcessEnvironment::systemEnvironment().value("PATH");
        e.insert("PATH", found ? QDir::toNativeSeparators(SIM_LIB_DIR) + ';' + path : path);
#else
        e.insert("LD_LIBRARY_PATH", found ? SIM_LIB_DIR : "");
#endif
    }

    static QProcessEnvironment env(const QString& modes, const QString& faults = {}, const QString& trace = {})
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        simLibrary(e, true);
        e.insert("CORVASIM_RATE", "0");
        e.insert("CORVASIM_MODES", modes);
        e.insert("CORVASIM_FAULTS", faults);
        e.insert("CORVASIM_TRACE", trace);
        return e;
    }

    static Run run(const QStringList& args, const QProcessEnvironment& e)
    {
        QProcess p;
        p.setProcessEnvironment(e);
        p.start(CORVACTL, args);
        p.closeWriteChannel();
        if (!p.waitForFinished(60000))
            return {-1, {}, "did not finish"};
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
                p.readAllStandardError()};
    }

    QTemporaryDir tmp;

private slots:
    void capture_data()
    {
        QTest::addColumn<QString>("modes");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("frames");   // exchanges the picture is made of
        QTest::newRow("waveform, png") << "33" << QStringList{"-o", "x.png"} << 1;
        QTest::newRow("vector, bmp") << "4" << QStringList{"-o", "x.BMP"} << 1;
        QTest::newRow("audio: a second frame for the levels") << "11,44" << QStringList{"-o", "x.png"} << 2;
        QTest::newRow("no graticule, bars over the first frame") << "31,10" << QStringList{"-o", "-"} << 2;
        QTest::newRow("audio, --single") << "12" << QStringList{"--single", "-o", "-"} << 1;
    }
    void capture()
    {
        QFETCH(QString, modes);
        QFETCH(QStringList, options);
        QFETCH(int, frames);
        const QString file = QDir(tmp.path()).filePath(options.last());
        if (options.last() != "-")
            options.last() = file;
        const Run r = run(QStringList{"capture", "--graticules", CORVA_GRATICULE_DIR} + options, env(modes));
        QVERIFY2(r.code == 0, r.err.constData());
        const QImage got = options.last() == "-" ? QImage::fromData(r.out, "PNG") : QImage(file);
        QCOMPARE(got.size(), QSize(320, 240));

        // The display as a fresh window shows it after that many "1 Frame" clicks.
        SimConfig cfg;
        for (const QString& m : modes.split(','))
            cfg.modes.push_back(m.toInt());
        QImage want = withPicture(QImage());
        QByteArray buffer(10000, '\0');
        for (int f = 0; f < frames; ++f) {
            const uint8_t mode = Simulator::modeByteFor(cfg, f);
            buffer[0] = char(mode);
            if (const QString g = graticule(mode & 31); !g.isEmpty())
                want = withPicture(QImage(QDir(CORVA_GRATICULE_DIR).filePath(g)));
            const uint8_t levels[4] = {uint8_t(buffer[119]), uint8_t(buffer[121]), uint8_t(buffer[123]),
                                       uint8_t(buffer[125])};
            if ((mode & 31) > 10)
                bars(want, levels);
            for (int b = 0; b < 5; ++b) {
                const QByteArray block = Simulator::screenBlock(f, b, mode);
                buffer.replace(0, block.size(), block);
                decodeBlock(want, reinterpret_cast<const uint8_t*>(buffer.constData()), int(block.size()), b);
            }
        }
        COMPARE_IMAGES(got.convertToFormat(QImage::Format_RGB32), want);
    }

    void logIsTheStatusText_data()
    {
        QTest::addColumn<int>("records");
        QTest::newRow("24 records") << 24;
        QTest::newRow("end marker first") << 0;
    }
    void logIsTheStatusText()
    {
        QFETCH(int, records);
        QProcessEnvironment e = env("1");
        e.insert("CORVASIM_LOG_RECORDS", QString::number(records));
        const Run r = run({"log"}, e);
        QVERIFY2(r.code == 0, r.err.constData());

        SimConfig cfg;
        cfg.logRecords = records;
        Simulator sim(cfg);
        State state;
        FakeHost host;
        Link link{state, sim, host};
        ErrorLog log{state, link, host};
        log.cmdGetLog_Click();
        QVERIFY(host.text.endsWith("-------- End of Log --------"));
        QCOMPARE(r.out, host.text.toLatin1());
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("faults");
        QTest::addColumn<bool>("library");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("says");
        const QStringList cap{"capture", "-o", "x.png", "--graticules", CORVA_GRATICULE_DIR};
        QTest::newRow("no device, capture") << cap << "nodevice" << true << 1 << "List Device Failed";
        QTest::newRow("no device, log") << QStringList{"log", "-o", "x.png"} << "nodevice" << true << 1 << "List Device Failed";
        QTest::newRow("no device, list") << QStringList{"list"} << "nodevice" << true << 1 << "List Device Failed";
        QTest::newRow("held elsewhere, erase") << QStringList{"erase", "--yes"} << "noopen" << true << 1 << "OpenEx Failed";
        QTest::newRow("a block read fails") << cap << "fail-read=2" << true << 1 << "Read Failed";
        QTest::newRow("close fails") << cap << "fail-close" << true << 1 << "USB Close Failed";
        // FTDI's library only: no fallback to libftdi1 where it is built in.
        const QStringList vendor{"--driver", "vendor"};
        QTest::newRow("no library, capture") << cap + vendor << "" << false << 1 << DynamicD2xx::platformLibraryName() + " could not be loaded";
        QTest::newRow("no library, log") << QStringList{"log", "-o", "x.png"} + vendor << "" << false << 1
                                         << "USB Error: 1001";
        QTest::newRow("no library, list") << QStringList{"list"} + vendor << "" << false << 1 << "could not be loaded";
        QTest::newRow("graticule missing") << QStringList{"capture", "-o", "x.png", "--graticules", "."} << "" << true << 1
                                           << "Graticule wfm_eu.bmp could not be loaded";
        QTest::newRow("no command") << QStringList{} << "" << true << 2 << "no command";
        QTest::newRow("unknown command") << QStringList{"grab"} << "" << true << 2 << "unknown command";
        QTest::newRow("unknown option") << QStringList{"capture", "--fast"} << "" << true << 2 << "Unknown option";
        QTest::newRow("option of another command") << QStringList{"log", "--yes"} << "" << true << 2 << "--yes does not go with log";
        QTest::newRow("jpeg") << QStringList{"capture", "-o", "x.jpg"} << "" << true << 2 << ".png or .bmp";
        QTest::newRow("watch without folder") << QStringList{"watch"} << "" << true << 2 << "one folder";
        QTest::newRow("no count") << QStringList{"watch", "d", "--count", "0"} << "" << true << 2 << "--count";
        QTest::newRow("erase from a pipe") << QStringList{"erase"} << "" << true << 2 << "--yes";
    }
    void failures()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, faults);
        QFETCH(bool, library);
        QFETCH(int, code);
        QFETCH(QString, says);
        const QString out = QDir(tmp.path()).filePath("failed.png");
        args.replaceInStrings(QRegularExpression("^x\\.png$"), out);
        const QString trace = QDir(tmp.path()).filePath("trace");
        QFile::remove(trace);
        QProcessEnvironment e = env("1", faults, trace);
        if (!library)
            simLibrary(e, false);
        const Run r = run(args, e);
        QCOMPARE(r.code, code);
        QVERIFY2(r.err.contains(says.toUtf8()), r.err.constData());
        QVERIFY2(!QFile::exists(out), "a failed run left its file");
        if (code == 2) {   // a usage error never reaches the instrument
            QVERIFY(!QFile::exists(trace));
            QVERIFY(r.err.contains("--help"));
        }
    }

    void watchEndsCleanly_data()
    {
        QTest::addColumn<bool>("interrupt");
        QTest::newRow("Ctrl-C") << true;
        QTest::newRow("--count 3") << false;
    }
    void watchEndsCleanly()
    {
        QFETCH(bool, interrupt);
#ifdef Q_OS_WIN
        if (interrupt)
            QSKIP("Ctrl-C goes only to programs on this one's console");
#endif
        const QString dir = QDir(tmp.path()).filePath(interrupt ? "int" : "count");
        const QString trace = QDir(tmp.path()).filePath("watch-trace");
        QFile::remove(trace);
        QProcessEnvironment e = env("1,2,3", {}, trace);
        e.insert("CORVASIM_RATE", "1000000");   // a frame takes a while: Ctrl-C lands mid-frame
        QProcess p;
        p.setProcessEnvironment(e);
        QStringList args{"watch", dir, "--graticules", CORVA_GRATICULE_DIR};
        if (!interrupt)
            args << "--count" << "3";
        p.start(CORVACTL, args);
        QVERIFY(p.waitForStarted());
        if (interrupt) {
            QVERIFY2(p.waitForReadyRead(20000), p.readAllStandardError().constData());   // a frame written
#ifndef Q_OS_WIN
            ::kill(pid_t(p.processId()), SIGINT);
#endif
        }
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);

        QFile t(trace);
        QVERIFY(t.open(QIODevice::ReadOnly));
        const QList<QByteArray> calls = t.readAll().trimmed().split('\n');
        QCOMPARE(calls.last(), QByteArray("Close"));
        QCOMPARE(calls.count("Close"), 1);
        const QStringList files = QDir(dir).entryList(QDir::Files | QDir::Hidden);
        if (!interrupt)
            QCOMPARE(files.size(), 3);
        QVERIFY(!files.isEmpty());
        // Only whole pictures, numbered from 1, and one for every frame fetched.
        QCOMPARE(files.size(), int(calls.count("Write F4 F0")));
        for (int i = 0; i < files.size(); ++i) {
            QCOMPARE(files[i], QString("frame-%1.png").arg(i + 1, 6, 10, QChar('0')));
            QCOMPARE(QImage(QDir(dir).filePath(files[i])).size(), QSize(320, 240));
        }
    }
};

QTEST_GUILESS_MAIN(TestCorvactl)
#include "tst_corvactl.moc"
