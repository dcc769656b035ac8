// The alarms' set and clear timing on a made-up clock: sequences of
// conditions with their times in, the transitions out.
#include "alarms.h"
#include <QtTest>

using namespace alarms;

namespace {

// One input a line, "TIME WHAT ...", times in ms:
//   T lost | found          the instrument gone or answering
//   T cont+ | cont-         a continuous download wanted or not
//   T frame MODE L1,L2,L3,L4 [part] [first]
//                           a frame: `part` not whole, `first` its levels
//                           not from a whole frame before
//   T tick                  time passing
// The transitions as "T+name" / "T-name", bar after a slash.
QString run(const QStringList& inputs, const QStringList& options = {})
{
    Settings s;
    for (const QString& o : options)
        if (const QString why = s.apply(o); !why.isEmpty())
            return why;
    Evaluator e(s);
    QStringList out;
    for (const QString& line : inputs) {
        const QStringList w = line.split(u' ', Qt::SkipEmptyParts);
        const qint64 t = w.value(0).toLongLong();
        const QString what = w.value(1);
        if (what == u"lost" || what == u"found") {
            e.instrument(t, what == u"found");
        } else if (what == u"cont+" || what == u"cont-") {
            e.continuous(t, what == u"cont+");
        } else if (what == u"frame") {
            FrameFacts f;
            f.mode = w.value(2).toInt();
            const QStringList l = w.value(3).split(u',');
            for (int i = 0; i < kBars; ++i)
                f.levels[size_t(i)] = uint8_t(l.value(i).toInt());
            f.whole = !w.contains(QStringLiteral("part"));
            f.levelsCount = !w.contains(QStringLiteral("first"));
            e.frame(t, f);
        } else {
            e.tick(t);
        }
        for (const Transition& x : e.take())
            out << QStringLiteral("%1%2%3%4")
                       .arg(x.at)
                       .arg(x.set ? QStringLiteral("+") : QStringLiteral("-"))
                       .arg(QLatin1String(name(x.id.kind)))
                       .arg(x.id.bar ? QStringLiteral("/%1").arg(x.id.bar) : QString());
    }
    return out.join(u' ');
}

// A frame in audio mode every `step` ms from `from` to `to`, each bar at its level.
QStringList frames(qint64 from, qint64 to, qint64 step, const QString& levels, int mode = 11)
{
    QStringList l;
    for (qint64 t = from; t <= to; t += step)
        l << QStringLiteral("%1 frame %2 %3").arg(t).arg(mode).arg(levels);
    return l;
}

}   // namespace

class TestAlarms : public QObject {
    Q_OBJECT
private slots:
    void timing_data()
    {
        QTest::addColumn<QStringList>("inputs");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("transitions");
        const QString loud = QStringLiteral("100,100,100,100"), quiet2 = QStringLiteral("100,205,100,100");

        QTest::newRow("lost, set after 5 s, cleared 5 s after it is back")
            << QStringList{"0 found", "1000 lost", "5999 tick", "6000 tick", "8000 found", "12999 tick", "13000 tick"}
            << QStringList{} << "6000+instrument_lost 13000-instrument_lost";
        QTest::newRow("lost for less than the set time: nothing")
            << QStringList{"0 lost", "4999 found", "9000 lost", "13000 found", "30000 tick"} << QStringList{} << "";
        QTest::newRow("back for less than the clear time: stays set, the clear counts from the last return")
            << QStringList{"0 lost", "5000 tick", "6000 found", "9000 lost", "10000 found", "15000 tick"}
            << QStringList{} << "5000+instrument_lost 15000-instrument_lost";
        QTest::newRow("a late look still gets the exact times")
            << QStringList{"0 lost", "20000 found", "40000 tick"} << QStringList{}
            << "5000+instrument_lost 25000-instrument_lost";
        QTest::newRow("--alarm changes the times; off raises nothing")
            << QStringList{"0 lost", "1000 found", "2000 cont+", "60000 tick"}
            << QStringList{"instrument_lost:0.5:2", "no_picture:off"} << "500+instrument_lost 3000-instrument_lost";

        // Silence on bar 2 (206 - 205 = 1 row high), frames every 250 ms.
        QTest::newRow("silence: set after 10 s, cleared 3 s after sound")
            << QStringList{frames(0, 12000, 250, quiet2) + frames(12250, 16000, 250, loud)} << QStringList{}
            << "10000+audio_silence/2 15250-audio_silence/2";
        QTest::newRow("silence coming and going every second sets nothing")
            << [&] {
                   QStringList l;
                   for (int s = 0; s < 30; ++s)
                       l << frames(s * 1000, s * 1000 + 750, 250, s % 2 ? loud : quiet2);
                   return l;
               }()
            << QStringList{} << "";
        QTest::newRow("silence on all four bars, the height bound included")
            << QStringList{frames(0, 10000, 500, "204,206,230,203")} << QStringList{}
            << "10000+audio_silence/1 10000+audio_silence/2 10000+audio_silence/3";
        QTest::newRow("over: 1 s at the top of the scale, cleared 3 s after")
            << QStringList{frames(0, 1500, 250, "16,100,15,17") + frames(1750, 5000, 250, loud)} << QStringList{}
            << "1000+audio_over/1 1000+audio_over/3 4750-audio_over/1 4750-audio_over/3";
        QTest::newRow("the first frame's zeros (full bars) are ignored")
            << QStringList{"0 frame 11 0,0,0,0 first", "2000 frame 11 0,0,0,0 first", "4000 tick"} << QStringList{}
            << "";
        QTest::newRow("outside the audio displays the audio alarms clear")
            << QStringList{frames(0, 10000, 500, quiet2) + frames(10500, 14000, 500, quiet2, 3)} << QStringList{}
            << "10000+audio_silence/2 13500-audio_silence/2";
        QTest::newRow("a frame without its mode byte changes nothing")
            << QStringList{frames(0, 10000, 500, quiet2) + frames(10500, 20000, 500, loud, -1)} << QStringList{}
            << "10000+audio_silence/2";

        QTest::newRow("no picture: continuous on without whole frames")
            << QStringList{"0 cont+", "1000 frame 1 0,0,0,0 part", "4999 frame 1 0,0,0,0 part", "5000 tick",
                           "6000 frame 1 0,0,0,0", "11000 tick"}
            << QStringList{} << "5000+no_picture 11000-no_picture";
        QTest::newRow("no picture: whole frames from the start, then off")
            << QStringList{"0 cont+", "300 frame 1 0,0,0,0", "600 frame 1 0,0,0,0 part", "700 cont-", "30000 tick"}
            << QStringList{} << "";
        QTest::newRow("no picture: single frames without a continuous download")
            << QStringList{"0 frame 1 0,0,0,0 part", "30000 frame 1 0,0,0,0 part"} << QStringList{} << "";
    }
    void timing()
    {
        QFETCH(QStringList, inputs);
        QFETCH(QStringList, options);
        QFETCH(QString, transitions);
        QCOMPARE(run(inputs, options), transitions);
    }

    void options_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<bool>("taken");
        QTest::newRow("times") << "audio_over:0.2:1.5" << true;
        QTest::newRow("off") << "audio_silence:off" << true;
        QTest::newRow("unknown name") << "audio_clip:1:1" << false;
        QTest::newRow("one time") << "no_picture:5" << false;
        QTest::newRow("negative") << "no_picture:-1:5" << false;
        QTest::newRow("not a number") << "no_picture:5:soon" << false;
        QTest::newRow("beyond a day") << "no_picture:5:90000" << false;
    }
    void options()
    {
        QFETCH(QString, given);
        QFETCH(bool, taken);
        Settings s;
        QCOMPARE(s.apply(given).isEmpty(), taken);
    }

    void recentIsBounded()
    {
        Evaluator e;
        for (int i = 0; i < 200; ++i) {
            e.instrument(i * 20000, false);
            e.instrument(i * 20000 + 10000, true);
        }
        e.tick(200 * 20000);
        QCOMPARE(e.recent().size(), Evaluator::kRecent);
        QCOMPARE(e.transitions(), 400);
        QCOMPARE(e.recent().front().set, 199 * 20000 + 5000);
        QCOMPARE(*e.recent().front().cleared, 199 * 20000 + 15000);
    }
};

QTEST_GUILESS_MAIN(TestAlarms)
#include "tst_alarms.moc"
