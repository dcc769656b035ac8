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
        e.insert("PATH", library ? QDir::toNativeSeparators(QDir(SIM_LIB_DIR).canonicalPath()) + ';' + path : path);
#else
        e.insert("LD_LIBRARY_PATH", library ? SIM_LIB_DIR : "");
#endif
        e.insert("CORVASIM_RATE", "0");
        e.insert("CORVASIM_MODES", modes);
        e.insert("CORVASIM_FAULTS", faults);
        e.insert("CORVASIM_TRACE", trace);
        return e;
    }

    static Run run(const QStringList& args, const QProcessEnvironment& e, const QString& dir = {})
    {
        QProcess p;
        p.setProcessEnvironment(e);
        p.setWorkingDirectory(dir);
        p.start(CORVACTL, args);
        p.closeWriteChannel();
        if (!p.waitForFinished(60000))
            return {-1, {}, "did not finish: " + p.errorString().toUtf8()};
        if (p.exitStatus() != QProcess::NormalExit)
            return {-1, {}, "crashed with " + QByteArray::number(uint(p.exitCode()), 16) + ": " + p.readAllStandardError()};
        return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
    }

    // DIR/index.csv as rows of fields (no quoting needed for what we write),
    // after checking that its picture lines name the folder's pictures, in
    // order, with times that never go back.
    static QList<QStringList> checkIndex(const QString& dir)
    {
        QFile f(QDir(dir).filePath("index.csv"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QList<QStringList> rows;
        for (const QByteArray& l : f.readAll().split('\n'))
            if (!l.isEmpty())
                rows << QString::fromUtf8(l).split(',');
        if (rows.isEmpty() || rows.takeFirst() != QStringList{"file", "time", "serial", "mode", "graticule", "outcome"})
            return {};
        QStringList named;
        QDateTime last;
        for (const QStringList& r : rows) {
            const QDateTime t = QDateTime::fromString(r.value(1), Qt::ISODateWithMs);
            if (r.size() != 6 || !t.isValid() || t < last || r[2] != Simulator::kSerial)
                return {};
            last = t;
            if (!r[0].isEmpty())
                named << r[0];
        }
        if (named != QDir(dir).entryList({"frame-*"}, QDir::Files))
            return {};
        return rows;
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
        QTest::newRow("the name made up, serial and time in it") << "1" << QStringList{} << 1;
    }
    void capture()
    {
        QFETCH(QString, modes);
        QFETCH(QStringList, options);
        QFETCH(int, frames);
        const bool toStdout = !options.isEmpty() && options.last() == "-";
        QString file;
        if (!options.isEmpty() && !toStdout)
            file = options.last() = QDir(tmp.path()).filePath(options.last());
        // A made-up name goes to the working directory.
        // Absolute with its drive: on Windows the process runs on another one.
        const QString graticules = QDir(CORVA_GRATICULE_DIR).canonicalPath();
        const Run r = run(QStringList{"capture", "--graticules", graticules} + options, env(modes), tmp.path());
        QVERIFY2(r.code == 0, r.err.constData());
        if (options.isEmpty()) {
            file = QDir(tmp.path()).filePath(QString::fromLocal8Bit(r.out.trimmed()));
            QVERIFY2(QRegularExpression(QString("/corvameter-%1-\\d{8}-\\d{6}\\.png$").arg(Simulator::kSerial))
                         .match(file).hasMatch(), qPrintable(file));
        }
        const QImage got = toStdout ? QImage::fromData(r.out, "PNG") : QImage(file);

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
        // What failed, then the cause and its fix; the status box only with -v.
#ifdef Q_OS_WIN
        const QString noDevice = "corvactl: no Corvameter could be opened through the FTDI driver";
#else
        const QString noDevice = "corvactl: no FTDI device is attached";
#endif
        QTest::newRow("no device, capture") << cap << "nodevice" << true << 1
                                            << "capture failed: List Device Failed\n" + noDevice;
        QTest::newRow("no device, capture, -v") << cap + QStringList{"-v"} << "nodevice" << true << 1
                                                << "List Device Failed\nDownloaded 1 Frame\n";
        QTest::newRow("no device, log") << QStringList{"log", "-o", "x.png"} << "nodevice" << true << 1 << "List Device Failed";
        QTest::newRow("no device, list") << QStringList{"list"} << "nodevice" << true << 1 << "List Device Failed";
        QTest::newRow("held elsewhere, erase") << QStringList{"erase", "--yes"} << "noopen" << true << 1 << "OpenEx Failed";
        // The mode byte later than the read's time-out shifts the picture: no file, after a second try.
        QTest::newRow("late answer") << cap << "latency=150" << true << 1
                                     << "capture failed: No whole answer from the Corvameter\ncorvactl: the instrument answered late";
        QTest::newRow("a block stopped short") << cap << "stall-after=20000" << true << 1
                                               << "capture failed: No whole answer from the Corvameter";
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
        QTest::newRow("serial not attached") << cap + QStringList{"--serial", "CVM99999"} << "" << true << 1
                                             << "no instrument with serial number CVM99999 is attached (attached: "
                                                + QString(Simulator::kSerial);
        QTest::newRow("no interval") << QStringList{"watch", "d", "--interval", "0"} << "" << true << 2 << "--interval";
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
        QProcessEnvironment e = env("1", faults, trace, library);
        if (faults.startsWith("latency="))   // the chip's latency timer, not a fault
            e.insert("CORVASIM_LATENCY", faults.mid(8)), e.insert("CORVASIM_FAULTS", ""), e.insert("CORVASIM_RATE", "1e6");
        const Run r = run(args, e);
        QVERIFY2(r.code == code, r.err.constData());
        // Lines as written, whatever the platform ends them with.
        const QByteArray err = QByteArray(r.err).replace("\r\n", "\n");
        QVERIFY2(err.contains(says.toUtf8()), r.err.constData());
        QVERIFY2(!QFile::exists(out), "a failed run left its file");
        QCOMPARE(r.err.contains("Downloaded 1 Frame"), args.contains("-v"));
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
        QStringList files = QDir(dir).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(files.takeLast(), QString("index.csv"));
        QCOMPARE(files.size(), int(calls.count("Write F4 F0")));
        QCOMPARE(checkIndex(dir).size(), files.size());
        QVERIFY(interrupt ? !files.isEmpty() : files.size() == 3);
        for (int i = 0; i < files.size(); ++i) {
            QCOMPARE(files[i], QString("frame-%1.png").arg(i + 1, 6, 10, QChar('0')));
            QCOMPARE(QImage(QDir(dir).filePath(files[i])).size(), QSize(320, 240));
        }
    }

    // Series that end by themselves: on a schedule, through an unplug, or
    // cut short by one. Each gives whole pictures and an index to match.
    void series_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("faults");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("files");
        QTest::addColumn<QStringList>("notes");   // the index's lines without a file
        const QString unplug = "unplug-after=100000";   // in the third frame
        QTest::newRow("every 0.4 s") << QStringList{"--interval", "0.4", "--count", "3"} << "" << 0 << 3 << QStringList{};
        QTest::newRow("--duration") << QStringList{"--interval", "0.5", "--duration", "1.2"} << "" << 0 << 3
                                    << QStringList{};
        QTest::newRow("unplugged, no --reconnect") << QStringList{"--count", "5"} << unplug << 1 << 2
                                                   << QStringList{"instrument lost"};
        QTest::newRow("unplugged and back") << QStringList{"--count", "4", "--reconnect"} << unplug + ",replug-after=1500"
                                            << 0 << 4 << QStringList{"instrument lost", "instrument back"};
        QTest::newRow("timed, unplugged and back")
            << QStringList{"--interval", "0.2", "--count", "4", "--reconnect", "10"} << unplug + ",replug-after=1500" << 0
            << 4 << QStringList{"instrument lost", "instrument back"};
        QTest::newRow("not back in time") << QStringList{"--count", "4", "--reconnect", "1"} << unplug << 1 << 2
                                          << QStringList{"instrument lost"};
    }
    void series()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, faults);
        QFETCH(int, code);
        QFETCH(int, files);
        QFETCH(QStringList, notes);
        const QString dir = QDir(tmp.path()).filePath(QString("series-%1").arg(QTest::currentDataTag()));
        const Run r = run(QStringList{"watch", dir, "--graticules", CORVA_GRATICULE_DIR} + options, env("1", faults));
        QVERIFY2(r.code == code, r.err.constData());
        const QList<QStringList> index = checkIndex(dir);
        QStringList got;
        QList<QDateTime> times;
        for (const QStringList& row : index) {
            if (row[0].isEmpty()) {
                got << row[5];
                continue;
            }
            QCOMPARE(row.mid(3), (QStringList{"1", "wfm_eu.bmp", "ok"}));
            QCOMPARE(QImage(QDir(dir).filePath(row[0])).size(), QSize(320, 240));
            times << QDateTime::fromString(row[1], Qt::ISODateWithMs);
        }
        QCOMPARE(times.size(), files);
        QCOMPARE(got, notes);
        // Never a frame before it is due: the k-th at least k intervals after
        // the first, however long each exchange took.
        const int interval = options.contains("--interval") ? int(1000 * options[options.indexOf("--interval") + 1].toDouble()) : 0;
        for (int i = 1; i < times.size(); ++i)
            QVERIFY2(times[0].msecsTo(times[i]) >= i * interval - 50, qPrintable(times[i].toString(Qt::ISODateWithMs)));
    }
};

QTEST_GUILESS_MAIN(TestCorvactl)
#include "tst_corvactl.moc"
