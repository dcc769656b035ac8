#include "fake_d2xx.h"
#include "mainwindow.h"
#include "picture1.h"
#include "text1.h"
#include <QElapsedTimer>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

class TestMainWindow : public QObject {
    Q_OBJECT

    struct Rig {
        FakeD2xx d2xx;
        Corvameter_rem w{d2xx};
        int terminated = 0;
        QList<QString> boxes;
        Rig()
        {
            w.terminate = [this] { ++terminated; };
            w.messageHook = [this](const QString& text, const QString& title, Host::Icon) {
                boxes << title + ": " + text;
            };
        }
    };

private slots:
    void windowTitleAndClientArea()
    {
        Rig r;
        r.w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.w));
        QCOMPARE(r.w.windowTitle(), QString("Brisko Corvameter  Remote Control   Ver 1.51"));
        QCOMPARE(r.w.size(), QSize(505, 497));
        QVERIFY(!r.w.windowIcon().isNull());
        QVERIFY(r.w.text1().isEmpty());
        QVERIFY(!r.w.Timer1.isActive());
        QVERIFY(!r.w.Timer2.isActive());
    }

    void controlsAtTheirPlaces_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tooltip");
        // Twips divided by 15.
        QTest::newRow("Frame1") << "Frame1" << "Corvameter_rem" << QRect(24, 16, 97, 161) << "Logger" << "";
        QTest::newRow("cmdGetLog") << "cmdGetLog" << "Frame1" << QRect(16, 16, 65, 33) << "Get Log"
                                   << "Downloads error log data from Corvameter";
        QTest::newRow("cmdPrintLog") << "cmdPrintLog" << "Frame1" << QRect(16, 64, 65, 33) << "Print Log"
                                     << "Sends the error log data to your Printer";
        QTest::newRow("cmdEraseLog") << "cmdEraseLog" << "Frame1" << QRect(16, 112, 65, 33) << "Erase Log"
                                     << "Erases the error logs stored in the Corvameter";
        QTest::newRow("Frame2") << "Frame2" << "Corvameter_rem" << QRect(24, 200, 97, 225) << "Download" << "";
        QTest::newRow("cmdDownLoad") << "cmdDownLoad" << "Frame2" << QRect(16, 24, 65, 33) << "1 Frame"
                                     << "Download 1 screen from the Corvameter ";
        QTest::newRow("cmdContinuous") << "cmdContinuous" << "Frame2" << QRect(16, 72, 65, 33) << "Continuous"
                                       << "Download screen continuously from Corvameter";
        QTest::newRow("cmdStop") << "cmdStop" << "Frame2" << QRect(16, 120, 65, 33) << "Stop"
                                 << "Stop continuous download";
        QTest::newRow("cmdFiles") << "cmdFiles" << "Frame2" << QRect(16, 168, 65, 33) << "Files"
                                  << "Store & Recall Corvameter downloaded pictures";
        QTest::newRow("Text1") << "Text1" << "Corvameter_rem" << QRect(144, 24, 321, 145) << "" << "";
        QTest::newRow("Picture1") << "Picture1" << "Corvameter_rem" << QRect(144, 184, 324, 241) << "" << "";
        QTest::newRow("cmdClear") << "cmdClear" << "Corvameter_rem" << QRect(144, 456, 65, 33) << "Clear"
                                  << "Clear display area";
        QTest::newRow("cmdExit") << "cmdExit" << "Corvameter_rem" << QRect(400, 456, 65, 33) << "Exit"
                                 << "Exit the Remote Control utility";
    }
    void controlsAtTheirPlaces()
    {
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        QFETCH(QString, tooltip);
        Rig r;
        QWidget* c = name == "Frame1" ? r.w.Frame1 : name == "Frame2" ? r.w.Frame2 : r.w.findChild<QWidget*>(name);
        QVERIFY(c);
        QCOMPARE(c->parentWidget()->objectName(), parent);
        QCOMPARE(c->geometry(), geometry);
        QCOMPARE(c->toolTip(), tooltip);
        if (auto* b = qobject_cast<QPushButton*>(c)) {
            QCOMPARE(b->text(), caption);
            QVERIFY(!b->autoDefault() && !b->isDefault());
            QVERIFY(b->isEnabled());
        } else if (auto* g = qobject_cast<QGroupBox*>(c)) {
            QCOMPARE(g->title(), caption);
        }
        // Nothing moves when the window changes size.
        r.w.show();
        r.w.resize(800, 700);
        QCoreApplication::processEvents();
        QCOMPARE(c->geometry(), geometry);
    }

    void tabOrder()
    {
        Rig r;
        const QList<QWidget*> want = {r.w.picture1, r.w.cmdExit, r.w.text1Box, r.w.cmdGetLog, r.w.cmdPrintLog,
                                      r.w.cmdEraseLog, r.w.cmdClear, r.w.cmdDownLoad, r.w.cmdContinuous,
                                      r.w.cmdStop, r.w.cmdFiles};
        QWidget* at = want.first();
        for (int i = 1; i < want.size(); ++i) {
            do
                at = at->nextInFocusChain();
            while (!(at->focusPolicy() & Qt::TabFocus) || qobject_cast<QGroupBox*>(at));
            QCOMPARE(at->objectName(), want[i]->objectName());
        }
    }

    void statusBoxIsEditableAndKeepsExactText()
    {
        Rig r;
        auto* t = r.w.text1Box;
        QVERIFY(!t->isReadOnly());
        QCOMPARE(t->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(t->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(t->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        r.w.link.appendStatus("Downloaded 1 Frame");
        QCOMPARE(r.w.text1(), QString("Downloaded 1 Frame\r\n"));
        QCOMPARE(t->toPlainText(), QString("Downloaded 1 Frame\n"));
        r.w.show();
        t->setFocus();
        t->moveCursor(QTextCursor::End);
        QTest::keyClicks(t, "typed");
        QCOMPARE(r.w.text1(), QString("Downloaded 1 Frame\ntyped"));
    }

    void displayStartsBlackAndShowsTheImageUnsmoothed()
    {
        Rig r;
        r.w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.w));
        r.w.surface.setPixel(0, 0, 15);
        r.w.surface.setPixel(319, 239, 12);
        r.w.surface.changed();
        const QImage shot = r.w.picture1->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const int dpr = int(shot.devicePixelRatio());
        const int left = Picture1::kImageLeft * dpr;
        QCOMPARE(shot.pixel(left, 0), qRgb(255, 255, 255));
        QCOMPARE(shot.pixel(left + 319 * dpr, 239 * dpr), qRgb(255, 0, 0));
        QCOMPARE(shot.pixel(left + 100 * dpr, 100 * dpr), qRgb(0, 0, 0));
        QCOMPARE(shot.pixel(left + dpr, 0), qRgb(0, 0, 0));
    }

    void exitEndsAfterItsWait()
    {
        Rig r;
        r.w.state.ContinuousOn = true;
        QElapsedTimer t;
        t.start();
        QTest::mouseClick(r.w.cmdExit, Qt::LeftButton);
        QCOMPARE(r.terminated, 1);
        QVERIFY(t.elapsed() >= 99);
        QVERIFY(!r.w.state.ContinuousOn);
    }

    void exitInsideANestedWaitEndsThere()
    {
        Rig r;
        r.w.show();
        qint64 at = -1;
        QElapsedTimer t;
        r.w.terminate = [&] {
            ++r.terminated;
            at = t.elapsed();
        };
        QTimer::singleShot(50, r.w.cmdExit, [&] { r.w.cmdExit->click(); });
        t.start();
        r.w.link.Wait_ms(3000);
        QCOMPARE(r.terminated, 1);
        QVERIFY(at >= 149);
        // The interrupted wait does not sit out its own three seconds.
        QVERIFY(t.elapsed() < 1500);
    }

    void closeControlIsExit()
    {
        Rig r;
        r.w.show();
        QVERIFY(!r.w.close());
        QCOMPARE(r.terminated, 1);
        QVERIFY(r.w.isVisible());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
