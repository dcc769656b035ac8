// corvactl as a script runs it: a separate process on the drop-in simulator
// library. Its pictures are checked against a decode of the instrument's
// frames made here from the wire format, its log against the records the
// instrument sends, as the status box shows them.
#include "dynamic_d2xx.h"
#include "log_expect.h"
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

    // On the simulator's driver library, or with no driver library the loader can find.
    static QProcessEnvironment env(const QString& modes, const QString& faults = {}, const QString& trace = {},
                                   bool library = true)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
#ifdef Q_OS_WIN
        const QString path = e.value("PATH");
        e.insert("PATH", library ? QDir::toNativeSeparators(SIM_LIB_DIR) + ';' + path : path);
#else
        e.insert("LD_LIBRARY_PATH", library ? SIM_LIB_DIR : "");
#endif
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
    // The expected display loads the graticules by name.
    void initTestCase() { QVERIFY(QDir::setCurrent(CORVA_GRATICULE_DIR)); }

    void capture_data()
    {
        QTest::addColumn<QString>("modes");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("frames");   // exchanges the picture is made of
        QTest::newRow("vector, bmp") << "4" << QStringList{"-o", "x.BMP"} << 1;
        QTest::newRow("audio: a second frame for the levels") << "11,44" << QStringList{"-o", "x.png"} << 2;
        QTest::newRow("audio, --single, to standard output") << "12" << QStringList{"--single", "-o", "-"} << 1;
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

        // The display as a fresh window shows it after that many "1 Frame" clicks.
        SimConfig cfg;
        for (const QString& m : modes.split(','))
            cfg.modes.push_back(m.toInt());
        Model want;
        for (int f = 0; f < frames; ++f) {
            const uint8_t mode = Simulator::modeByteFor(cfg, f);
            QList<QByteArray> blocks;
            for (int b = 0; b < 5; ++b)
                blocks << Simulator::screenBlock(f, b, mode);
            want.frame(mode, blocks);
        }
        COMPARE_IMAGES(got.convertToFormat(QImage::Format_RGB32), want.display);
    }

    // Exactly the status box's text after "Get Log", CR LF line ends and all.
    void logIsTheStatusText()
    {
        const Run r = run({"log"}, env("1"));
        QVERIFY2(r.code == 0, r.err.constData());
        const SimConfig cfg;
        const QString want = logShown(cfg.logRecords, [&](int i) { return Simulator::logRecord(i, cfg); }) + kEndOfLog;
        QCOMPARE(r.out, want.toLatin1());
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
        // The picture came whole, the exchange did not end well.
        QTest::newRow("close fails") << cap << "fail-close" << true << 1 << "USB Close Failed";
        // FTDI's library only: no fallback to libftdi1 where it is built in.
        const QStringList vendor{"--driver", "vendor"};
        QTest::newRow("no library, capture") << cap + vendor << "" << false << 1 << DynamicD2xx::platformLibraryName() + " could not be loaded";
        QTest::newRow("no library, log") << QStringList{"log", "-o", "x.png"} + vendor << "" << false << 1
                                         << "USB Error: 1001";
        QTest::newRow("no library, list") << QStringList{"list"} + vendor << "" << false << 1 << "could not be loaded";
        QTest::newRow("graticule missing") << QStringList{"capture", "-o", "x.png", "--graticules", tmp.path()}
                                           << "" << true << 1 << "Graticule wfm_eu.bmp could not be loaded";
        QTest::newRow("unknown command") << QStringList{"grab"} << "" << true << 2 << "unknown command";
        QTest::newRow("option of another command") << QStringList{"log", "--yes"} << "" << true << 2 << "--yes does not go with log";
        QTest::newRow("jpeg") << QStringList{"capture", "-o", "x.jpg"} << "" << true << 2 << ".png or .bmp";
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
        const Run r = run(args, env("1", faults, trace, library));
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
        if (interrupt) {
            QVERIFY2(p.waitForReadyRead(20000), p.readAllStandardError().constData());   // a frame written
#ifndef Q_OS_WIN
            ::kill(pid_t(p.processId()), SIGINT);
#endif
        }
        QVERIFY(p.waitForFinished(20000));
        QVERIFY(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0);

        QFile t(trace);
        QVERIFY(t.open(QIODevice::ReadOnly));
        const QList<QByteArray> calls = t.readAll().trimmed().split('\n');
        QCOMPARE(calls.last(), QByteArray("Close"));
        QCOMPARE(calls.count("Close"), 1);
        // Only whole pictures, numbered from 1, and one for every frame fetched.
        const QStringList files = QDir(dir).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(files.size(), int(calls.count("Write F4 F0")));
        QVERIFY(interrupt ? !files.isEmpty() : files.size() == 3);
        for (int i = 0; i < files.size(); ++i) {
            QCOMPARE(files[i], QString("frame-%1.png").arg(i + 1, 6, 10, QChar('0')));
            QCOMPARE(QImage(QDir(dir).filePath(files[i])).size(), QSize(320, 240));
        }
    }
};

QTEST_GUILESS_MAIN(TestCorvactl)
#include "tst_corvactl.moc"
