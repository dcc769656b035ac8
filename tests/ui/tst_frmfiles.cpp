#include "fake_d2xx.h"
#include "fake_host.h"
#include "frmfiles.h"
#include "mainwindow.h"
#include "picturestore.h"
#include <QBuffer>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QLabel>
#include <QPainter>
#include <QProxyStyle>
#include <QTemporaryDir>
#include <QFontDatabase>
#include <QtTest>
#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {
// Every pixel different from its neighbours, all 24 colour bits in play.
QImage pattern(quint32 v, QSize size = {320, 240})
{
    QImage img(size, QImage::Format_RGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, 0xFF000000u | ((v = v * 1664525u + 1013904223u) >> 8));
    return img;
}
QByteArray bmp(const QImage& img)
{
    QByteArray out;
    QBuffer b(&out);
    b.open(QIODevice::WriteOnly);
    img.save(&b, "BMP");
    return out;
}
QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}
QStringList entries(const QString& dir) { return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }
QStringList texts(const QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}
void choose(QListWidget* files, const QString& name) { files->setCurrentItem(files->findItems(name, Qt::MatchExactly).value(0)); }

struct Rig {
    QTemporaryDir dir;
    QString was = QDir::currentPath(), path = QDir::cleanPath(dir.path());
    bool entered = QDir::setCurrent(path);   // the dialog starts in the working directory
    State state;
    Surface surface;
    FakeHost host;
    frmFiles dlg{state, surface, host};
    QStringList boxes;   // "title: text (icon)"
    Rig()
    {
        dlg.messageHook = [this](const QString& text, const QString& title, Host::Icon icon) {
            boxes << QStringLiteral("%1: %2 (%3)").arg(title, text).arg(int(icon));
        };
    }
    ~Rig() { QDir::setCurrent(was); }
    QString file(const QString& name) const { return path + '/' + name; }
};
}   // namespace

class TestFrmFiles : public QObject {
    Q_OBJECT
private slots:
    // Exactly one separator between folder and name, of either kind; a root already ends in one.
    void pathRule()
    {
        QCOMPARE((QStringList{PictureStore::joinPath("C:\\", "a.bmp", '\\'), PictureStore::joinPath("C:\\pics", "a.bmp", '\\'),
                              PictureStore::joinPath("/", "a.bmp", '/'), PictureStore::joinPath("/ab", "a.bmp", '/')}),
                 (QStringList{"C:\\a.bmp", "C:\\pics\\a.bmp", "/a.bmp", "/ab/a.bmp"}));
    }

    // "Store" then "Display" gives the pixels back; other pictures are read
    // by content and shown top left, black beyond.
    void storeAndDisplay_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("format");   // empty: the display, written by "Store"
        QTest::addColumn<QImage>("picture");
        QTest::newRow("stored") << "mypic.bmp" << QByteArray() << pattern(1);
        QTest::newRow("stored without extension, over a longer file") << "picture" << QByteArray() << pattern(2);
        QTest::newRow("small png named .bmp") << "p.bmp" << QByteArray("PNG") << pattern(3, {100, 50});
        QTest::newRow("8-bit bitmap") << "b8.bmp" << QByteArray("BMP") << pattern(5).convertToFormat(QImage::Format_Indexed8);
    }
    void storeAndDisplay()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, format);
        QFETCH(QImage, picture);
        Rig r;
        r.dlg.show();
        if (format.isEmpty()) {
            writeAll(r.file("picture"), QByteArray(300000, 'o'));
            r.dlg.Text1->setText(name);
            r.surface.image() = picture;
            QTest::mouseClick(r.dlg.cmdStoreFile, Qt::LeftButton);
            QCOMPARE(r.state.PicturePath, QDir::toNativeSeparators(r.file(name)));
            QVERIFY(!r.dlg.isVisible());
            // A plain 24-bit bitmap, and no temporary file left beside it.
            const QByteArray b = readAll(r.file(name));
            QCOMPARE(b.size(), 54 + 320 * 240 * 3);
            QCOMPARE(qFromLittleEndian<quint16>(b.constData() + 28), quint16(24));
            QCOMPARE(entries(r.path).count(), name == "picture" ? 1 : 2);
            r.dlg.show();   // shown again, the new picture is listed
        } else {
            QVERIFY(picture.save(r.file(name), format.constData()));
            r.dlg.Dir1_Change();
        }
        r.surface.clear();
        choose(r.dlg.File1, name);
        QTest::mouseClick(r.dlg.cmdDispFile, Qt::LeftButton);
        QCOMPARE(r.boxes, QStringList());
        QImage want(320, 240, QImage::Format_RGB32);
        want.fill(Qt::black);
        QPainter(&want).drawImage(0, 0, picture);
        QCOMPARE(r.surface.image(), want);
        QCOMPARE(r.host.beeps, format.isEmpty() ? 2 : 1);
        QVERIFY(!r.dlg.isVisible());
    }

    // One box, the dialog stays, nothing shown or beeped. A failed store names
    // the path and leaves the old file as it was, with nothing beside it.
    void failures_data()
    {
        QTest::addColumn<bool>("store");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");   // of the file "Display" is given
        const QByteArray whole = bmp(pattern(7));
        QByteArray extreme = whole.left(54);
        for (int at : {18, 22})
            qToLittleEndian<qint32>(INT_MIN, extreme.data() + at);
        QTest::newRow("store as a folder's name") << true << "sub" << QByteArray();
        QTest::newRow("store in a missing folder") << true << "nosuch/old.bmp" << QByteArray();
        QTest::newRow("store without a name") << true << "" << QByteArray();
#ifdef Q_OS_UNIX
        QTest::newRow("store, write fails halfway") << true << "old.bmp" << QByteArray();
#endif
        QTest::newRow("display, nothing selected") << false << "" << QByteArray();
        QTest::newRow("display a text file") << false << "notes.txt" << QByteArray("not a picture\r\n");
        QTest::newRow("display an empty file") << false << "empty.bmp" << QByteArray();
        QTest::newRow("display a truncated bitmap") << false << "cut.bmp" << whole.chopped(1);
        QTest::newRow("display a bitmap cut in its header") << false << "head.bmp" << whole.left(30);
        QTest::newRow("display extreme dimensions") << false << "extreme.bmp" << extreme;
        QTest::newRow("display wider than the cap") << false << "wide.bmp" << bmp(pattern(9, {PictureStore::kMaxSide + 1, 1}));
        QTest::newRow("display a file gone since listed") << false << "gone.bmp" << whole;
    }
    void failures()
    {
        QFETCH(bool, store);
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        Rig r;
        QVERIFY(QDir(r.path).mkdir("sub"));
        const QByteArray old = bmp(pattern(6));
        writeAll(r.file("old.bmp"), old);
        writeAll(r.file("sub/old.bmp"), old);
        if (!store && !name.isEmpty())
            writeAll(r.file(name), content);
        r.dlg.show();
        r.surface.image() = pattern(10);
        if (store) {
            r.dlg.Text1->setText(name);
        } else {
            choose(r.dlg.File1, name);
            QCOMPARE(r.dlg.File1->currentItem() != nullptr, !name.isEmpty());
            QVERIFY(name != "gone.bmp" || QFile::remove(r.file(name)));
        }
#ifdef Q_OS_UNIX
        // A file size limit fails the write part way, like a full disk, even as root.
        rlimit was{};
        getrlimit(RLIMIT_FSIZE, &was);
        const rlimit small{name == "old.bmp" ? 4096 : was.rlim_cur, was.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
#endif
        QTest::mouseClick(store ? r.dlg.cmdStoreFile : r.dlg.cmdDispFile, Qt::LeftButton);
#ifdef Q_OS_UNIX
        setrlimit(RLIMIT_FSIZE, &was);
#endif
        QCOMPARE(r.boxes.size(), 1);
        QVERIFY2(r.boxes[0].startsWith(store ? "Store Error: The picture could not be stored as\n" + r.state.PicturePath + "\n"
                                             : "File Directory Error: No .BMP file is selected (0)"), qPrintable(r.boxes[0]));
        QCOMPARE(r.host.beeps, 0);
        QVERIFY(r.dlg.isVisible());
        QCOMPARE(r.surface.image(), pattern(10));
        QCOMPARE(readAll(r.file("old.bmp")) + readAll(r.file("sub/old.bmp")), old + old);
        QCOMPARE(entries(r.file("sub")), QStringList{"old.bmp"});
        QVERIFY(!store || entries(r.path) == (QStringList{"old.bmp", "sub"}));
    }

    // Every file is listed; a drive not ready leaves both lists as they were.
    void everyFileListedAndDriveNotReady()
    {
        Rig r;
        for (const char* n : {"b.bmp", "A.TXT", "noext", ".hidden"})
            writeAll(r.file(n), "x");
        r.dlg.show();
        r.dlg.Drive1->addItem("Q:", QString("/no/such/drive/"));
        r.dlg.Drive1->setCurrentIndex(r.dlg.Drive1->count() - 1);
        QCOMPARE(r.boxes, QStringList{"Drive Error: Selected Drive not ready (2)"});
        QCOMPARE(r.dlg.Drive1->currentText(), QString("Q:"));
        QCOMPARE(r.dlg.dirPath(), r.path);
        QCOMPARE(r.dlg.Dir1->currentItem()->data(frmFiles::kPathRole).toString(), r.path);
        QCOMPARE(texts(r.dlg.File1), (QStringList{".hidden", "A.TXT", "b.bmp", "noext"}));
    }

    // "Files" on the main window: one dialog, which keeps what it held when
    // hidden. Its instructions are whole at the desktop's font, over no other
    // control; a folder opens on a double click only, even where the desktop
    // activates items on a single click, and no item covers the list's tooltip.
    void oneDialogKeepsItsNameAndFolder()
    {
        struct SingleClick : QProxyStyle {
            int styleHint(StyleHint h, const QStyleOption* o, const QWidget* w, QStyleHintReturn* r) const override
            {
                return h == SH_ItemView_ActivateItemOnSingleClick ? 1 : QProxyStyle::styleHint(h, o, w, r);
            }
        } singleClick;
        Rig r;
        QVERIFY(QDir(r.path).mkdir("pics"));
        writeAll(r.file("pics/one.bmp"), "x");
        writeAll(r.file("pics/two.bmp"), "x");
        FakeD2xx d2xx;
        Corvameter_rem w(d2xx);
        w.messageHook = [&](const QString& text, const QString& title, Host::Icon) { r.boxes << title + ": " + text; };
        w.show();
        w.cmdFiles->click();
        frmFiles* dlg = w.filesDialog.get();
        QVERIFY(dlg && dlg->isVisible() && !dlg->parentWidget());
        // Qt's offscreen platform on Windows has no fonts at all: no text has a size to fit.
        const bool fonts = !QFontDatabase::families().isEmpty();
        for (QLabel* l : dlg->findChildren<QLabel*>()) {
            QVERIFY(!fonts || l->font() == dlg->font());
            QVERIFY2(!fonts || QFontMetrics(l->font()).boundingRect(QRect(0, 0, l->width(), 100000), Qt::TextWordWrap,
                                                                    l->text()).height() <= l->height(),
                     qPrintable(l->objectName()));
            for (QWidget* c : dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                QVERIFY2(c == l || !c->geometry().intersects(l->geometry()), qPrintable(l->objectName() + " " + c->objectName()));
        }
        dlg->cmdDispFile->click();   // its boxes go where the window's go
        QCOMPARE(r.boxes, QStringList{"File Directory Error: No .BMP file is selected"});
        dlg->Text1->setText("typed.bmp");
        dlg->Dir1->setStyle(&singleClick);
        QListWidgetItem* pics = dlg->Dir1->findItems("pics", Qt::MatchExactly).value(0);
        const QPoint at = dlg->Dir1->visualItemRect(pics).center();
        QTest::mouseClick(dlg->Dir1->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(dlg->dirPath(), r.path);
        QVERIFY(dlg->Dir1->toolTip() == "Select Folder" && pics->toolTip().isEmpty());
        QTest::mouseDClick(dlg->Dir1->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(dlg->dirPath(), r.file("pics"));
        // Enter opens the current folder (here the one above, and back).
        dlg->Dir1->setCurrentRow(dlg->Dir1->currentRow() - 1);
        QTest::keyClick(dlg->Dir1, Qt::Key_Return);
        QCOMPARE(dlg->dirPath(), r.path);
        dlg->Dir1->setCurrentItem(dlg->Dir1->findItems("pics", Qt::MatchExactly).value(0));
        QTest::keyClick(dlg->Dir1, Qt::Key_Enter);
        QCOMPARE(dlg->dirPath(), r.file("pics"));
        choose(dlg->File1, "two.bmp");
        w.cmdFiles->click();
        for (bool cancel : {true, false}) {
            cancel ? dlg->cmdCancelFile->click() : void(dlg->close());
            QVERIFY(!dlg->isVisible());
            w.cmdFiles->click();
            QCOMPARE(w.filesDialog.get(), dlg);
            QVERIFY(dlg->isVisible());
            QCOMPARE(dlg->Text1->text(), QString("typed.bmp"));
            QCOMPARE(dlg->fileFolder(), r.file("pics"));
            QCOMPARE(dlg->File1->selectedItems(), dlg->File1->findItems("two.bmp", Qt::MatchExactly));
        }
    }
};

QTEST_MAIN(TestFrmFiles)
#include "tst_frmfiles.moc"
