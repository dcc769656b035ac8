#include "dynamic_d2xx.h"
#include "fake_d2xx.h"
#ifdef __linux__
#include "fake_machine.h"
#endif
#include "frmfiles.h"
#include "mainwindow.h"
#include "picture1.h"
#include "text1.h"
#include <QFontDatabase>
#include <QLabel>
#include <QStyleOption>
#include <QtTest>

class TestMainWindow : public QObject {
    Q_OBJECT

    struct Rig {
        explicit Rig(D2xx* other = nullptr) : w(other ? *other : d2xx)
        {
            w.messageHook = [this](const QString& text, const QString& title, Host::Icon) { boxes << title + ": " + text; };
        }
        FakeD2xx d2xx;
        Corvameter_rem w;
        QStringList boxes;
    };

private slots:
    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tooltip");
        auto row = [](const char* n, QRect g, const char* c = "", const char* t = "") { QTest::newRow(n) << n << g << c << t; };
        // Twips divided by 15; the window's own row is its client size and title.
        row("Corvameter_rem", {0, 0, 505, 497}, "Brisko Corvameter  Remote Control   Ver 1.51");
        row("Frame1", {24, 16, 97, 161}, "Logger");
        row("cmdGetLog", {16, 16, 65, 33}, "Get Log", "Downloads error log data from Corvameter");
        row("cmdPrintLog", {16, 64, 65, 33}, "Print Log", "Sends the error log data to your Printer");
        row("cmdEraseLog", {16, 112, 65, 33}, "Erase Log", "Erases the error logs stored in the Corvameter");
        row("Frame2", {24, 200, 97, 225}, "Download");
        row("cmdDownLoad", {16, 24, 65, 33}, "1 Frame", "Download 1 screen from the Corvameter ");
        row("cmdContinuous", {16, 72, 65, 33}, "Continuous", "Download screen continuously from Corvameter");
        row("cmdStop", {16, 120, 65, 33}, "Stop", "Stop continuous download");
        row("cmdFiles", {16, 168, 65, 33}, "Files", "Store & Recall Corvameter downloaded pictures");
        row("Text1", {144, 24, 321, 145});
        row("Picture1", {144, 184, 324, 241});
        row("cmdClear", {144, 456, 65, 33}, "Clear", "Clear display area");
        row("cmdExit", {400, 456, 65, 33}, "Exit", "Exit the Remote Control utility");
    }
    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        Rig r;
        QWidget* c = name == r.w.objectName() ? &r.w : r.w.findChild<QWidget*>(name);
        QVERIFY(c);
        auto* b = qobject_cast<QPushButton*>(c);
        auto* g = qobject_cast<QGroupBox*>(c);
        QTEST(b ? b->text() : g ? g->title() : c->windowTitle(), "caption");
        QTEST(c->toolTip(), "tooltip");
        r.w.show();
        QCOMPARE(c->isWindow() ? QRect({}, c->size()) : c->geometry(), geometry);
        // Nothing moves when the window changes size.
        r.w.resize(800, 700);
        QCoreApplication::processEvents();
        QVERIFY(c->isWindow() || c->geometry() == geometry);
    }

    // Whatever the desktop's font: every button clear of its box's frame and
    // caption, one caption size for all of a window's buttons, no caption
    // wider than its button. The dialog's instructions are whole, over no
    // other control, and at the desktop's font when that is its usual size.
    void captionsFit_data()
    {
        QTest::addColumn<qreal>("points");
        QTest::newRow("desktop font") << 0.0;
        QTest::newRow("16 pt") << 16.0;
    }
    void captionsFit()
    {
        // Qt's offscreen platform on Windows has no fonts at all: no text has a size to fit.
        if (QFontDatabase::families().isEmpty())
            QSKIP("no fonts on this platform");
        QFETCH(qreal, points);
        const QFont was = QApplication::font();
        QFont f = was;
        if (points > 0)
            f.setPointSizeF(points);
        QApplication::setFont(f);
        Rig r;
        r.w.show();
        r.w.cmdFiles->click();
        QApplication::setFont(was);
        frmFiles* dlg = r.w.filesDialog.get();
        for (QWidget* window : {static_cast<QWidget*>(&r.w), static_cast<QWidget*>(dlg)}) {
            const QList<QPushButton*> buttons = window->findChildren<QPushButton*>();
            for (QPushButton* b : buttons) {
                QCOMPARE(b->font(), buttons[0]->font());
                QStyleOptionButton o;
                o.initFrom(b);
                QVERIFY2(QFontMetrics(b->font()).horizontalAdvance(b->text()) <=
                             b->style()->subElementRect(QStyle::SE_PushButtonContents, &o, b).width(), qPrintable(b->text()));
                if (auto* g = qobject_cast<QGroupBox*>(b->parentWidget()))
                    QVERIFY2(g->contentsRect().contains(b->geometry()), qPrintable(b->text()));
            }
        }
        for (QLabel* l : dlg->findChildren<QLabel*>()) {
            QVERIFY(points > 0 || l->font() == dlg->font());
            QVERIFY2(QFontMetrics(l->font()).boundingRect(QRect(0, 0, l->width(), 100000), Qt::TextWordWrap,
                                                          l->text()).height() <= l->height(),
                     qPrintable(l->objectName()));
            for (QWidget* c : dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                QVERIFY2(c == l || !c->geometry().intersects(l->geometry()), qPrintable(l->objectName() + " " + c->objectName()));
        }
    }

    // Focus starts on the display, first in the tab order: a key pressed
    // right after start reaches no button. The empty status box takes what
    // the user types, its lines ending as the program's do. It keeps the
    // exact text and shows it as the printout prints it: only CR LF breaks a
    // line; a lone CR or LF, and NUL from stale record bytes, show as nothing.
    void startAndStatusBox()
    {
        Rig r;
        int ends = 0;
        r.w.terminate = [&] { ++ends; };
        r.w.show();
        QVERIFY(QTest::qWaitForWindowActive(&r.w));
        QCOMPARE(QApplication::focusWidget(), r.w.picture1);
        QStringList order;
        for (QWidget* at = r.w.picture1; order.size() < 11; at = at->nextInFocusChain())
            if ((at->focusPolicy() & Qt::TabFocus) && !qobject_cast<QGroupBox*>(at))
                order << at->objectName();
        QCOMPARE(order, (QStringList{"Picture1", "cmdExit", "Text1", "cmdGetLog", "cmdPrintLog", "cmdEraseLog", "cmdClear",
                                     "cmdDownLoad", "cmdContinuous", "cmdStop", "cmdFiles"}));
        for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Escape})
            QTest::keyClick(QApplication::focusWidget(), key);
        QCOMPARE(r.d2xx.calls.size(), 0);
        QCOMPARE(ends, 0);
        QVERIFY(r.w.text1().isEmpty() && r.w.filesDialog == nullptr);
        r.w.text1Box->setFocus();
        QTest::keyClicks(r.w.text1Box, "typed");
        QTest::keyClick(r.w.text1Box, Qt::Key_Return);
        QTest::keyClicks(r.w.text1Box, "more");
        QCOMPARE(r.w.text1(), QString("typed\r\nmore"));
        static const char raw[] = "one\rtwo\nthree\0\0\r\n Entry";
        const QString text = QString::fromLatin1(raw, sizeof raw - 1);
        r.w.setText1(text);
        QCOMPARE(r.w.text1(), text);
        QCOMPARE(r.w.text1Box->toPlainText(), QString("onetwothree\n Entry"));
    }

    // "Exit", and the close control alike, end the program after a 100 ms
    // wait on Timer1; inside a long wait (a continuous download's) too.
    void exitWaitsThenEnds()
    {
        Rig r;
        r.w.show();
        int ends = 0, waited = -1;
        r.w.terminate = [&] { ++ends, waited = r.w.session.link.Timer1.interval(); };
        auto endedAfterWait = [&](int n) {
            return ends == n && waited == 100 && r.w.session.link.TimerFired && !r.w.session.screen.ContinuousOn;
        };
        r.w.session.screen.ContinuousOn = true;
        QVERIFY(!r.w.close());
        QVERIFY(endedAfterWait(1));
        r.w.session.screen.ContinuousOn = true;
        waited = -1;
        QTimer::singleShot(50, r.w.cmdExit, [&] { QTest::mouseClick(r.w.cmdExit, Qt::LeftButton); });
        r.w.session.link.Wait_ms(600000);
        QVERIFY(endedAfterWait(2));
    }

    // A driver library that cannot be loaded: a run-time error box naming it
    // (and on Linux the other way, libftdi1), on Linux followed by the
    // "USB Device" box saying so.
    void libraryMissingBoxes()
    {
        DynamicD2xx none({"/nonexistent/" + DynamicD2xx::platformLibraryName()}, DynamicD2xx::Backend::Vendor);
        Rig missing(&none);
        missing.w.cmdDownLoad->click();
        QVERIFY2(missing.boxes.value(0).startsWith("Run-time Error: Run-time error 1001:"), qPrintable(missing.boxes.join('\n')));
        QVERIFY(missing.boxes[0].contains(DynamicD2xx::platformLibraryName()));
#ifdef __linux__
        QVERIFY(missing.boxes[0].contains("libftdi"));
        QCOMPARE(missing.boxes.size(), 2);
        QVERIFY2(missing.boxes[1].startsWith("USB Device: The USB driver library libftd2xx.so could not be loaded"),
                 qPrintable(missing.boxes[1]));
#else
        QCOMPARE(missing.boxes.size(), 1);
#endif
    }

#ifdef __linux__
    // A failed list or open is explained from the machine: the device meant
    // (by its serial number after a list, else device 0), the cause and the
    // fix, once per run.
    void openFailureBox_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("says");   // parts, '|' between them
        const QString cable = "dev 1-1 bus=1 addr=2 serial=OTHERCABLE;";
        QTest::newRow("open, no access") << "OpenEx" << cable + "dev 1-2 bus=1 addr=7 serial=CM123456 mode=0664"
                                         << "You may not open /dev/bus/usb/001/007, the USB device node of CM123456"
                                            "|70-corvameter.rules";
        QTest::newRow("list, ftdi_sio bound") << "ListDevices" << "dev 1-2 bus=1 addr=7 serial=CM123456 driver=ftdi_sio tty=ttyUSB0"
                                              << "The kernel's ftdi_sio driver holds CM123456 as /dev/ttyUSB0"
                                                 "|echo 1-2:1.0 | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind";
    }
    void openFailureBox()
    {
        QFETCH(QString, failing);
        QFETCH(QString, tree);
        QFETCH(QString, says);
        FakeMachine m(tree);
        Rig r;
        r.w.where = m.where();
        r.d2xx.statuses[failing] = {3, 3};
        r.w.cmdEraseLog->click();
        r.w.cmdEraseLog->click();
        const QStringList boxes = r.boxes.filter("USB Device: ");
        QCOMPARE(boxes.size(), 1);
        for (const QString& part : says.split('|'))
            QVERIFY2(boxes[0].contains(part), qPrintable(boxes[0]));
        QVERIFY(boxes[0].endsWith(".\n\nThe README's \"First-run problems\" section has the details."));
    }
#endif
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
