#include "fake_d2xx.h"
#include "fake_host.h"
#include "frmfiles.h"
#include "mainwindow.h"
#include "picturestore.h"
#include "../screen/screen_expect.h"
#include <QBuffer>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QProxyStyle>
#include <QTemporaryDir>
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
QByteArray encoded(const QImage& img, const char* format = "BMP")
{
    QByteArray out;
    QBuffer b(&out);
    b.open(QIODevice::WriteOnly);
    img.save(&b, format);
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
void choose(QListWidget* files, const QString& name) { files->setCurrentItem(files->findItems(name, Qt::MatchExactly).value(0)); }

struct Rig {
    QTemporaryDir dir;
    QString was = QDir::currentPath(), path = QDir::cleanPath(dir.path());
    bool entered = QDir::setCurrent(path);   // the dialog starts in the working directory
    Surface surface;
    FakeHost host;
    frmFiles dlg{surface, host};
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
                              PictureStore::joinPath("C:/", "a.bmp", '\\'), PictureStore::joinPath("/ab", "a.bmp", '/')}),
                 (QStringList{"C:\\a.bmp", "C:\\pics\\a.bmp", "C:/a.bmp", "/ab/a.bmp"}));
    }

    // "Store" writes the display as a plain 24-bit bitmap under the name as
    // typed; "Display" reads a picture by content and shows it top left,
    // black beyond (the round trip runs in the click-through). A failure
    // gives one box, the dialog stays, nothing is shown or beeped; a failed
    // store names the path and leaves the old file as it was, with nothing
    // beside it.
    void storeAndDisplay_data()
    {
        QTest::addColumn<bool>("store");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");   // of the file "Display" is given
        QTest::addColumn<QImage>("shown");         // the display afterwards; null: the click fails
        const QImage small = pattern(3, {100, 50}), indexed = pattern(5).convertToFormat(QImage::Format_Indexed8);
        const QByteArray whole = encoded(pattern(7));
        QByteArray extreme = whole.left(54);
        for (int at : {18, 22})
            qToLittleEndian<qint32>(INT_MIN, extreme.data() + at);
        QTest::newRow("store without extension, over a longer file") << true << "old" << QByteArray() << pattern(10);
        QTest::newRow("display a small png named .bmp") << false << "p.bmp" << encoded(small, "PNG") << small;
        QTest::newRow("display an 8-bit bitmap") << false << "b8.bmp" << encoded(indexed) << indexed;
        QTest::newRow("store as a folder's name") << true << "sub" << QByteArray() << QImage();
#ifdef Q_OS_UNIX
        QTest::newRow("store, write fails halfway") << true << "old" << QByteArray() << QImage();
#endif
        QTest::newRow("display, nothing selected") << false << "" << QByteArray() << QImage();
        QTest::newRow("display a text file") << false << "notes.txt" << QByteArray("not a picture\r\n") << QImage();
        QTest::newRow("display a truncated bitmap") << false << "cut.bmp" << whole.chopped(1) << QImage();
        QTest::newRow("display extreme dimensions") << false << "extreme.bmp" << extreme << QImage();
        QTest::newRow("display wider than the cap") << false << "wide.bmp"
                                                    << encoded(pattern(9, {PictureStore::kMaxSide + 1, 1})) << QImage();
    }
    void storeAndDisplay()
    {
        QFETCH(bool, store);
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QImage, shown);
        Rig r;
        QVERIFY(QDir(r.path).mkdir("sub"));
        const QByteArray old = encoded(pattern(6, {400, 300}));
        writeAll(r.file("old"), old);
        writeAll(r.file("sub/old"), old);
        if (!store && !name.isEmpty())
            writeAll(r.file(name), content);
        r.dlg.show();
        r.surface.image() = pattern(10);
        r.dlg.Text1->setText(name);   // each button reads only its own
        choose(r.dlg.File1, name);
        QVERIFY(store || (r.dlg.File1->currentItem() != nullptr) == !name.isEmpty());
#ifdef Q_OS_UNIX
        // A file size limit fails the write part way, like a full disk, even as root.
        rlimit was{};
        getrlimit(RLIMIT_FSIZE, &was);
        const rlimit small{store && shown.isNull() && name == "old" ? 4096 : was.rlim_cur, was.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
#endif
        QTest::mouseClick(store ? r.dlg.cmdStoreFile : r.dlg.cmdDispFile, Qt::LeftButton);
#ifdef Q_OS_UNIX
        setrlimit(RLIMIT_FSIZE, &was);
#endif
        QCOMPARE(r.boxes.size(), shown.isNull() ? 1 : 0);
        if (shown.isNull()) {
            QVERIFY2(r.boxes[0].startsWith(store ? "Store Error: The picture could not be stored as\n" + r.dlg.PicturePath + "\n"
                                                 : "File Directory Error: No .BMP file is selected (0)"), qPrintable(r.boxes[0]));
            QCOMPARE(readAll(r.file("old")), old);
        } else if (store) {
            // 24-bit pixels, no palette, the longer old file replaced whole.
            QCOMPARE(r.dlg.PicturePath, QDir::toNativeSeparators(r.file(name)));
            QCOMPARE(readAll(r.file(name)).size(), 54 + 320 * 240 * 3);
            QCOMPARE(QImage(r.file(name)).convertToFormat(QImage::Format_RGB32), pattern(10));
        }
        QCOMPARE(r.surface.image(), expect::withPicture(shown.isNull() ? pattern(10) : shown));
        QCOMPARE(r.host.beeps, shown.isNull() ? 0 : 1);
        QCOMPARE(r.dlg.isVisible(), shown.isNull());
        QCOMPARE(readAll(r.file("sub/old")), old);
        QCOMPARE(entries(r.file("sub")), QStringList{"old"});
        QVERIFY(!store || entries(r.path) == (QStringList{"old", "sub"}));
    }

    // "Files" on the main window: one dialog, which keeps what it held when
    // hidden, its boxes going where the window's go. It lists every file; a
    // drive not ready leaves the lists where they were. A folder opens on a
    // double click only, even where the desktop activates items on a single
    // click, and no item covers the list's tooltip.
    void oneDialogKeepsWhatItHeld()
    {
        struct SingleClick : QProxyStyle {
            int styleHint(StyleHint h, const QStyleOption* o, const QWidget* w, QStyleHintReturn* r) const override
            {
                return h == SH_ItemView_ActivateItemOnSingleClick ? 1 : QProxyStyle::styleHint(h, o, w, r);
            }
        } singleClick;
        Rig r;
        QVERIFY(QDir(r.path).mkpath("pics/deeper"));
        for (const char* n : {"b.bmp", "A.TXT", "noext", ".hidden"})
            writeAll(r.file("pics/deeper/") + n, "x");
        FakeD2xx d2xx;
        Corvameter_rem w(d2xx);
        w.messageHook = r.dlg.messageHook;
        w.show();
        w.cmdFiles->click();
        frmFiles* dlg = w.filesDialog.get();
        QVERIFY(dlg && dlg->isVisible() && !dlg->parentWidget());
        dlg->Text1->setText("typed.bmp");
        dlg->Dir1->setStyle(&singleClick);
        QListWidgetItem* pics = dlg->Dir1->findItems("pics", Qt::MatchExactly).value(0);
        const QPoint at = dlg->Dir1->visualItemRect(pics).center();
        QTest::mouseClick(dlg->Dir1->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(dlg->dirPath(), r.path);
        QVERIFY(dlg->Dir1->toolTip() == "Select Folder" && pics->toolTip().isEmpty());
        QTest::mouseDClick(dlg->Dir1->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(dlg->dirPath(), r.file("pics"));
        // Enter opens the current folder.
        dlg->Dir1->setCurrentItem(dlg->Dir1->findItems("deeper", Qt::MatchExactly).value(0));
        QTest::keyClick(dlg->Dir1, Qt::Key_Return);
        QCOMPARE(dlg->dirPath(), r.file("pics/deeper"));
        QStringList listed;
        for (const QListWidgetItem* item : dlg->File1->findItems("*", Qt::MatchWildcard))
            listed << item->text();
        QCOMPARE(listed, (QStringList{".hidden", "A.TXT", "b.bmp", "noext"}));
        choose(dlg->File1, "b.bmp");
        dlg->Drive1->addItem("Q:", QString("/no/such/drive/"));
        dlg->Drive1->setCurrentIndex(dlg->Drive1->count() - 1);
        QCOMPARE(r.boxes, QStringList{"Drive Error: Selected Drive not ready (2)"});
        QCOMPARE(dlg->Drive1->currentText(), QString("Q:"));
        QCOMPARE(dlg->Dir1->currentItem()->data(frmFiles::kPathRole).toString(), r.file("pics/deeper"));
        w.cmdFiles->click();
        for (bool cancel : {true, false}) {
            cancel ? dlg->cmdCancelFile->click() : void(dlg->close());
            QVERIFY(!dlg->isVisible());
            w.cmdFiles->click();
            QCOMPARE(w.filesDialog.get(), dlg);
            QVERIFY(dlg->isVisible());
            QCOMPARE(dlg->Text1->text(), QString("typed.bmp"));
            QCOMPARE(dlg->fileFolder(), r.file("pics/deeper"));
            QCOMPARE(dlg->File1->selectedItems(), dlg->File1->findItems("b.bmp", Qt::MatchExactly));
        }
    }
};

QTEST_MAIN(TestFrmFiles)
#include "tst_frmfiles.moc"
