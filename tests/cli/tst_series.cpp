// The capture series on a made-up clock: when frames are taken, the index
// file, the default picture name and the wait for the instrument to return.
#include "series.h"
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>
#include <cmath>

using namespace series;
using namespace std::chrono_literals;
using Costs = QList<double>;
using Millis = QList<qint64>;

class TestSeries : public QObject {
    Q_OBJECT

    const Clock::time_point t0 = Clock::time_point{} + 1h;

    static qint64 ms(Clock::duration d) { return std::llround(Seconds(d).count() * 1000); }
    static Clock::duration secs(double s) { return std::chrono::round<Clock::duration>(Seconds(s)); }

private slots:
    // Each frame takes its cost (the last one repeats; negative: it brought no
    // picture); the start times are what counts.
    void schedule_data()
    {
        QTest::addColumn<double>("interval");
        QTest::addColumn<long>("count");
        QTest::addColumn<double>("duration");   // 0: none
        QTest::addColumn<Costs>("costs");
        QTest::addColumn<Millis>("starts");
        QTest::newRow("fractions") << 0.25 << 5L << 0.0 << Costs{0.1} << Millis{0, 250, 500, 750, 1000};
        QTest::newRow("late frame at once, next on time")
            << 1.0 << 4L << 0.0 << Costs{0.2, 1.5, 0.2} << Millis{0, 1000, 2500, 3000};
        QTest::newRow("missed slots skipped, no burst")
            << 1.0 << 4L << 0.0 << Costs{0.2, 3.4, 0.2} << Millis{0, 1000, 4400, 5000};
        QTest::newRow("duration, its end excluded") << 1.0 << 0L << 3.0 << Costs{0.2} << Millis{0, 1000, 2000};
        QTest::newRow("no frame after the end")
            << 3.0 << 0L << 10.0 << Costs{0.2, 0.2, 4.5} << Millis{0, 3000, 6000};
        QTest::newRow("count before duration") << 1.0 << 2L << 60.0 << Costs{0.2} << Millis{0, 1000};
        QTest::newRow("a frame without a picture does not count")
            << 1.0 << 3L << 0.0 << Costs{0.2, -0.2, 0.2} << Millis{0, 1000, 2000, 3000};
        QTest::newRow("no interval: back to back") << 0.0 << 0L << 1.0 << Costs{0.3} << Millis{0, 300, 600, 900};
    }
    void schedule()
    {
        QFETCH(double, interval);
        QFETCH(long, count);
        QFETCH(double, duration);
        QFETCH(Costs, costs);
        QFETCH(Millis, starts);
        Schedule s(t0, Seconds(interval), count, duration > 0 ? std::optional(Seconds(duration)) : std::nullopt);
        Clock::time_point now = t0;
        Millis got;
        while (const auto slot = s.next(now)) {
            QVERIFY(got.size() <= starts.size());
            now = std::max(now, slot->due);
            got << ms(now - t0);
            const double cost = costs.value(got.size() - 1, costs.last());
            now += secs(std::abs(cost));
            cost < 0 ? s.skipped(*slot) : s.taken(*slot);
        }
        QCOMPARE(got, starts);
        QCOMPARE(s.frames(), long(starts.size() - std::count_if(costs.begin(), costs.end(), [](double c) { return c < 0; })));
    }

    // The index's time stamp and capture's picture name, from one moment.
    void stamps_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("iso");
        QTest::addColumn<QString>("name");
        QTest::newRow("east") << 3600 << "CVM00001" << "2026-01-05T07:08:09.042+01:00"
                              << "corvameter-CVM00001-20260105-070809.png";
        QTest::newRow("west, half hour; odd serial") << -(3 * 3600 + 1800) << "A/B C:é"
                                                     << "2026-01-05T07:08:09.042-03:30"
                                                     << "corvameter-A_B_C__-20260105-070809.png";
        QTest::newRow("UTC; no serial") << 0 << "" << "2026-01-05T07:08:09.042+00:00"
                                        << "corvameter-20260105-070809.png";
    }
    void stamps()
    {
        QFETCH(int, offset);
        QFETCH(QString, serial);
        QFETCH(QString, iso);
        QFETCH(QString, name);
        const QDateTime when(QDate(2026, 1, 5), QTime(7, 8, 9, 42), QTimeZone(offset));
        QCOMPARE(series::isoTime(when), iso);
        QCOMPARE(series::captureName(serial, when), name);
    }

    // Every line is in the file as soon as it is written, before the index closes;
    // a new series starts a new index.
    void index()
    {
        QTemporaryDir dir;
        const QDateTime when(QDate(2026, 12, 7), QTime(23, 0, 0, 5), QTimeZone(3600));
        const auto onDisk = [&] {
            QFile f(dir.filePath("index.csv"));
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString("(none)");
        };
        for (int run = 0; run < 2; ++run) {
            Index index;
            QVERIFY2(index.open(dir.path()), qPrintable(index.errorString()));
            QVERIFY(index.frame("frame-000001.png", when, "CVM00001", 1, "wfm_eu.bmp", {}));
            QVERIFY(index.lost(when.addSecs(60), "CVM00001"));
            QCOMPARE(onDisk(), "file,time,serial,mode,graticule,outcome\n"
                               "frame-000001.png,2026-12-07T23:00:00.005+01:00,CVM00001,1,wfm_eu.bmp,ok\n"
                               ",2026-12-07T23:01:00.005+01:00,CVM00001,,,instrument lost\n");
            QVERIFY(index.back(when.addSecs(90), "CVM00001"));
            QVERIFY(index.frame("frame-000002.png", when.addSecs(91), "CVM00001", 17, "",
                                {"graticule \"aud.bmp\" not found", "blocks 4, 5 short"}));
            QVERIFY(onDisk().endsWith(",2026-12-07T23:01:30.005+01:00,CVM00001,,,instrument back\n"
                                      "frame-000002.png,2026-12-07T23:01:31.005+01:00,CVM00001,17,,"
                                      "\"graticule \"\"aud.bmp\"\" not found; blocks 4, 5 short\"\n"));
        }
        QCOMPARE(onDisk().count('\n'), 5);
        Index nowhere;
        QVERIFY(!nowhere.open(dir.filePath("missing/folder")));
        QVERIFY(!nowhere.errorString().isEmpty());
    }

    // Listings a second apart on the made-up clock, none after the serial is
    // back, none past the limit; Ctrl-C during a pause ends the wait.
    void waitForReturn_data()
    {
        QTest::addColumn<double>("limit");
        QTest::addColumn<double>("backAt");   // < 0: never
        QTest::addColumn<double>("stopAt");   // < 0: never
        QTest::addColumn<bool>("back");
        QTest::addColumn<Millis>("listings");
        QTest::newRow("back after 3 s") << 600.0 << 2.5 << -1.0 << true << Millis{1000, 2000, 3000};
        QTest::newRow("never back") << 3.5 << -1.0 << -1.0 << false << Millis{1000, 2000, 3000, 3500};
        QTest::newRow("back at the limit") << 3.0 << 3.0 << -1.0 << true << Millis{1000, 2000, 3000};
        QTest::newRow("Ctrl-C") << 600.0 << -1.0 << 2.5 << false << Millis{1000, 2000};
    }
    void waitForReturn()
    {
        QFETCH(double, limit);
        QFETCH(double, backAt);
        QFETCH(double, stopAt);
        QFETCH(bool, back);
        QFETCH(Millis, listings);
        Clock::time_point now = t0;
        Millis listed;
        const auto list = [&] {
            listed << ms(now - t0);
            now += secs(0.3);   // a listing takes its time
            const bool present = backAt >= 0 && now - t0 >= secs(backAt);
            return present ? QStringList{"OTHER", "CVM00001"} : QStringList{"CVM00001X"};
        };
        const auto sleep = [&](Clock::duration d) {
            if (stopAt >= 0 && now + d - t0 > secs(stopAt))
                return false;
            now += d;
            return true;
        };
        QCOMPARE(series::waitForReturn("CVM00001", list, Seconds(limit), [&] { return now; }, sleep), back);
        QCOMPARE(listed, listings);
    }
};

QTEST_GUILESS_MAIN(TestSeries)
#include "tst_series.moc"
