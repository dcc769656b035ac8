#include "fake_d2xx.h"
#include "fake_host.h"
#include "frmfiles.h"
#include "mainwindow.h"
#include "picturestore.h"
#include <QBuffer>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QImage pattern(quint32 seed)
{
    QImage img(320, 240, QImage::Format_RGB32);
    quint32 v = seed;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            v = v * 1664525u + 1013904223u;
            img.setPixel(x, y, 0xFF000000u | (v >> 8));
        }
    return img;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QStringList texts(const QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

QStringList paths(const QListWidget* dir)
{
    QStringList out;
    for (int i = 0; i < dir->count(); ++i)
        out << dir->item(i)->data(frmFiles::kPathRole).toString();
    return out;
}

QListWidgetItem* dirItem(const QListWidget* dir, const QString& path)
{
    for (int i = 0; i < dir->count(); ++i)
        if (dir->item(i)->data(frmFiles::kPathRole).toString() == path)
            return dir->item(i);
    return nullptr;
}

void openByDoubleClick(QListWidget* list, QListWidgetItem* item)
{
    const QPoint at = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

void choose(QListWidget* files, const QString& name)
{
    const auto found = files->findItems(name, Qt::MatchExactly);
    QVERIFY2(found.size() == 1, qPrintable(name));
    files->setCurrentItem(found.first());
}

// The dialog starts in the working directory: each test gets a fresh one.
struct InFolder {
    QTemporaryDir dir;
    QString was = QDir::currentPath();
    QString path = QDir::cleanPath(dir.path());
    InFolder() { QDir::setCurrent(path); }
    ~InFolder() { QDir::setCurrent(was); }
    QString file(const QString& name) const { return path + '/' + name; }
};

struct Rig {
    InFolder here;
    State state;
    Surface surface;
    FakeHost host;
    frmFiles dlg{state, surface, host};
    QList<FakeHost::Message> messages;
    Rig()
    {
        dlg.messageHook = [this](const QString& text, const QString& title, Host::Icon icon) {
            messages.append({text, title, icon});
        };
    }
};
}   // namespace

class TestFrmFiles : public QObject {
    Q_OBJECT
private slots:
    void windowItself()
    {
        Rig r;
        QCOMPARE(r.dlg.objectName(), QString("frmFiles"));
        QCOMPARE(r.dlg.windowTitle(), QString("Files"));
        QCOMPARE(r.dlg.size(), QSize(474, 385));
        QVERIFY(r.dlg.isWindow());
        QVERIFY(!r.dlg.parentWidget());
        QVERIFY(!qobject_cast<QDialog*>(&r.dlg));
        QCOMPARE(r.dlg.Text1->text(), QString("mypic.bmp"));
    }

    void controlsAtTheirPlaces_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tooltip");
        // Twips divided by 15.
        QTest::newRow("Text1") << "Text1" << QRect(184, 72, 137, 33) << "mypic.bmp" << "Name of picture to be stored";
        QTest::newRow("Drive1") << "Drive1" << QRect(24, 72, 137, 21) << "" << "Select Drive";
        QTest::newRow("File1") << "File1" << QRect(184, 168, 137, 188) << "" << "Select File for display";
        QTest::newRow("cmdStoreFile") << "cmdStoreFile" << QRect(384, 24, 57, 33) << "Store"
                                      << "Store downloaded picture to disk";
        QTest::newRow("cmdDispFile") << "cmdDispFile" << QRect(384, 128, 57, 33) << "Display"
                                     << "Display a stored picture ";
        QTest::newRow("cmdCancelFile") << "cmdCancelFile" << QRect(384, 296, 57, 33) << "Cancel"
                                       << "Return to main screen";
        QTest::newRow("Dir1") << "Dir1" << QRect(24, 136, 137, 216) << "" << "Select Folder";
        QTest::newRow("Label1") << "Label1" << QRect(176, 24, 185, 25)
                                << "To store a picture as a .BMP file, enter the file name then click 'Store'" << "";
        QTest::newRow("Label2") << "Label2" << QRect(184, 128, 185, 33)
                                << "To display a stored .BMP file select the required file then click'Display'" << "";
        QTest::newRow("Label3") << "Label3" << QRect(32, 48, 113, 17) << "Select Drive Required" << "";
        QTest::newRow("Label4") << "Label4" << QRect(32, 112, 113, 17) << "Select Folder Required" << "";
    }
    void controlsAtTheirPlaces()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        QFETCH(QString, tooltip);
        Rig r;
        auto* c = r.dlg.findChild<QWidget*>(name);
        QVERIFY(c);
        QCOMPARE(c->parentWidget(), &r.dlg);
        QCOMPARE(c->geometry(), geometry);
        QCOMPARE(c->toolTip(), tooltip);
        QVERIFY(c->isEnabled());
        if (auto* b = qobject_cast<QPushButton*>(c)) {
            QCOMPARE(b->text(), caption);
            QVERIFY(!b->autoDefault() && !b->isDefault());
        } else if (auto* l = qobject_cast<QLabel*>(c)) {
            QCOMPARE(l->text(), caption);
            QCOMPARE(l->focusPolicy(), Qt::NoFocus);
            // The instruction is not cut off.
            const QRect need = l->fontMetrics().boundingRect(QRect(0, 0, l->width(), 1000), Qt::TextWordWrap, l->text());
            QVERIFY(need.height() <= l->height());
        } else if (auto* e = qobject_cast<QLineEdit*>(c)) {
            QCOMPARE(e->text(), caption);
        }
        r.dlg.show();
        r.dlg.resize(700, 600);
        QCoreApplication::processEvents();
        QCOMPARE(c->geometry(), geometry);
    }

    void tabOrder()
    {
        Rig r;
        const QList<QWidget*> want = {r.dlg.Text1, r.dlg.Drive1, r.dlg.File1, r.dlg.cmdStoreFile,
                                      r.dlg.cmdDispFile, r.dlg.cmdCancelFile, r.dlg.Dir1, r.dlg.Text1};
        QWidget* at = want.first();
        for (int i = 1; i < want.size(); ++i) {
            do
                at = at->nextInFocusChain();
            while (!(at->focusPolicy() & Qt::TabFocus) || !at->isVisibleTo(&r.dlg) || at->parentWidget() != &r.dlg);
            QCOMPARE(at->objectName(), want[i]->objectName());
        }
    }

    void enterAndEscapeDoNothing()
    {
        Rig r;
        r.dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.dlg));
        for (QWidget* w : {static_cast<QWidget*>(r.dlg.Text1), static_cast<QWidget*>(r.dlg.cmdCancelFile)}) {
            w->setFocus();
            QTest::keyClick(w, Qt::Key_Return);
            QTest::keyClick(w, Qt::Key_Escape);
        }
        QVERIFY(r.dlg.isVisible());
        QCOMPARE(r.host.beeps, 0);
        QVERIFY(r.messages.isEmpty());
        QVERIFY(!QFile::exists(r.here.file("mypic.bmp")));
    }

    void startsInTheWorkingDirectory()
    {
        Rig r;
        QCOMPARE(r.dlg.dirPath(), r.here.path);
        QCOMPARE(r.dlg.fileFolder(), r.here.path);
        const QString root = r.dlg.Drive1->currentData().toString();
        QVERIFY(!root.isEmpty());
        QVERIFY((r.here.path + '/').startsWith(root));
        // The folder list runs from that root down to the working directory, which is current.
        QCOMPARE(r.dlg.Dir1->item(0)->data(frmFiles::kPathRole).toString(), QDir::cleanPath(root));
        QCOMPARE(r.dlg.Dir1->currentItem()->data(frmFiles::kPathRole).toString(), r.here.path);
    }

    void everyFileIsListed()
    {
        InFolder here;
        for (const char* n : {"b.bmp", "A.TXT", "noext", ".hidden", "pic.png"})
            writeFile(here.file(n), "x");
        QVERIFY(QDir(here.path).mkdir("sub"));
        State state;
        Surface surface;
        FakeHost host;
        frmFiles dlg(state, surface, host);
        QCOMPARE(texts(dlg.File1), (QStringList{".hidden", "A.TXT", "b.bmp", "noext", "pic.png"}));
        // The subfolder is in the folder list one level below the current folder.
        QListWidgetItem* sub = dirItem(dlg.Dir1, here.file("sub"));
        QVERIFY(sub);
        QCOMPARE(sub->data(frmFiles::kDepthRole).toInt(),
                 dlg.Dir1->currentItem()->data(frmFiles::kDepthRole).toInt() + 1);
    }

    void folderListMovesOnlyWhenOpened()
    {
        Rig r;
        QVERIFY(QDir(r.here.path).mkpath("sub/deeper"));
        writeFile(r.here.file("sub/in-sub.bmp"), "x");
        writeFile(r.here.file("top.bmp"), "x");
        r.dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.dlg));
        QListWidgetItem* sub = dirItem(r.dlg.Dir1, r.here.file("sub"));
        QVERIFY(sub);

        // Selecting, by mouse or keyboard, does not move.
        QTest::mouseClick(r.dlg.Dir1->viewport(), Qt::LeftButton, {}, r.dlg.Dir1->visualItemRect(sub).center());
        QTest::keyClick(r.dlg.Dir1, Qt::Key_Up);
        QCOMPARE(r.dlg.dirPath(), r.here.path);
        QCOMPARE(texts(r.dlg.File1), QStringList{"top.bmp"});

        openByDoubleClick(r.dlg.Dir1, dirItem(r.dlg.Dir1, r.here.file("sub")));
        QCOMPARE(r.dlg.dirPath(), r.here.file("sub"));
        QCOMPARE(r.dlg.fileFolder(), r.here.file("sub"));
        QCOMPARE(texts(r.dlg.File1), QStringList{"in-sub.bmp"});
        QVERIFY(dirItem(r.dlg.Dir1, r.here.file("sub/deeper")));
        // The way back up is in the list: the path from the root down.
        QStringList ancestors = paths(r.dlg.Dir1);
        QVERIFY(ancestors.contains(r.here.path));
        QVERIFY(ancestors.indexOf(r.here.path) < ancestors.indexOf(r.here.file("sub")));

        openByDoubleClick(r.dlg.Dir1, dirItem(r.dlg.Dir1, r.here.path));
        QCOMPARE(r.dlg.dirPath(), r.here.path);
        QCOMPARE(texts(r.dlg.File1), QStringList{"top.bmp"});
        QVERIFY(r.messages.isEmpty());
    }

    void systemVolumesAreLeftOut_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<bool>("system");
        QTest::newRow("root") << "/" << QByteArray("ext4") << false;
        QTest::newRow("home") << "/home" << QByteArray("btrfs") << false;
        QTest::newRow("usb stick") << "/media/u/STICK" << QByteArray("vfat") << false;
        QTest::newRow("removable under run") << "/run/media/u/STICK" << QByteArray("exfat") << false;
        QTest::newRow("tmp in memory") << "/tmp" << QByteArray("tmpfs") << false;
        QTest::newRow("macOS volume") << "/Volumes/Backup" << QByteArray("apfs") << false;
        QTest::newRow("proc") << "/proc" << QByteArray("proc") << true;
        QTest::newRow("shared memory") << "/dev/shm" << QByteArray("tmpfs") << true;
        QTest::newRow("user runtime") << "/run/user/1000" << QByteArray("tmpfs") << true;
        QTest::newRow("cgroup") << "/sys/fs/cgroup" << QByteArray("cgroup2") << true;
        QTest::newRow("snap") << "/snap/core/123" << QByteArray("squashfs") << true;
        QTest::newRow("macOS system") << "/System/Volumes/Data" << QByteArray("apfs") << true;
    }
    void systemVolumesAreLeftOut()
    {
        QFETCH(QString, root);
        QFETCH(QByteArray, type);
        QFETCH(bool, system);
        QCOMPARE(isSystemVolume(root, type), system);
    }

    void driveListStartsAtRootAndFindsTheLongestRoot()
    {
        const QList<Drive> found = listDrives();
        QVERIFY(!found.isEmpty());
#ifndef Q_OS_WIN
        QCOMPARE(found.first().root, QString("/"));
#endif
        const QList<Drive> drives = {{"/", "/"}, {"/media/usb/", "usb"}, {"/media/usb/inner/", "inner"}};
        QCOMPARE(driveOf("/media/usb", drives), 1);
        QCOMPARE(driveOf("/media/usb/pics", drives), 1);
        QCOMPARE(driveOf("/media/usb/inner/x", drives), 2);
        QCOMPARE(driveOf("/media/usbstick/x", drives), 0);   // a longer name is not inside
        QCOMPARE(driveOf("/", drives), 0);
    }

    void driveNotReady()
    {
        Rig r;
        writeFile(r.here.file("keep.bmp"), "x");
        r.dlg.Dir1_Change();
        const QStringList filesBefore = texts(r.dlg.File1);
        const QStringList dirsBefore = paths(r.dlg.Dir1);
        r.dlg.Drive1->addItem("Q:", QString("/no/such/drive/"));
        r.dlg.Drive1->setCurrentIndex(r.dlg.Drive1->count() - 1);
        QCOMPARE(r.messages.size(), 1);
        QCOMPARE(r.messages[0].text, QString("Selected Drive not ready"));
        QCOMPARE(r.messages[0].title, QString("Drive Error"));
        QCOMPARE(r.messages[0].icon, Host::Icon::Exclamation);
        // The selector shows the new drive; the lists stay.
        QCOMPARE(r.dlg.Drive1->currentText(), QString("Q:"));
        QCOMPARE(r.dlg.dirPath(), r.here.path);
        QCOMPARE(r.dlg.fileFolder(), r.here.path);
        QCOMPARE(paths(r.dlg.Dir1), dirsBefore);
        QCOMPARE(texts(r.dlg.File1), filesBefore);
    }

    void driveChangeMovesBothListsAndBack()
    {
        Rig r;
        const int home = r.dlg.Drive1->currentIndex();
        QTemporaryDir other;
        writeFile(other.filePath("on-other.bmp"), "x");
        const QString root = QDir::cleanPath(other.path()) + '/';
        r.dlg.Drive1->addItem("other", root);
        r.dlg.Drive1->setCurrentIndex(r.dlg.Drive1->count() - 1);
        QVERIFY(r.messages.isEmpty());
        QCOMPARE(r.dlg.dirPath(), QDir::cleanPath(other.path()));
        QCOMPARE(r.dlg.fileFolder(), QDir::cleanPath(other.path()));
        QCOMPARE(texts(r.dlg.File1), QStringList{"on-other.bmp"});
        QCOMPARE(r.dlg.Dir1->item(0)->data(frmFiles::kPathRole).toString(), QDir::cleanPath(other.path()));
        // Back on the first drive, the lists return to the folder last used there.
        r.dlg.Drive1->setCurrentIndex(home);
        QCOMPARE(r.dlg.dirPath(), r.here.path);
        QCOMPARE(r.dlg.fileFolder(), r.here.path);
    }

    void storeThenDisplayGivesBackThePixels()
    {
        Rig r;
        r.dlg.show();
        r.surface.image() = pattern(21);
        QTest::mouseClick(r.dlg.cmdStoreFile, Qt::LeftButton);
        QVERIFY(r.messages.isEmpty());
        QCOMPARE(r.state.PicturePath, QDir::toNativeSeparators(r.here.file("mypic.bmp")));
        QVERIFY(QFileInfo(r.here.file("mypic.bmp")).isFile());
        QCOMPARE(r.host.beeps, 1);
        QVERIFY(!r.dlg.isVisible());

        r.surface.clear();
        r.dlg.show();   // shown again, the new picture is listed
        choose(r.dlg.File1, "mypic.bmp");
        QTest::mouseClick(r.dlg.cmdDispFile, Qt::LeftButton);
        QVERIFY(r.messages.isEmpty());
        QCOMPARE(r.surface.image(), pattern(21));
        QCOMPARE(r.host.beeps, 2);
        QVERIFY(!r.dlg.isVisible());
    }

    void storeUsesTheNameAsTypedAndOverwrites()
    {
        Rig r;
        writeFile(r.here.file("picture"), QByteArray(300000, 'o'));
        r.dlg.Text1->setText("picture");
        r.surface.image() = pattern(22);
        r.dlg.cmdStoreFile_Click();
        QVERIFY(r.messages.isEmpty());
        QCOMPARE(r.host.beeps, 1);
        QCOMPARE(QDir(r.here.path).entryList(QDir::Files), QStringList{"picture"});
        QCOMPARE(PictureStore::load(r.here.file("picture")).convertToFormat(QImage::Format_RGB32), pattern(22));
    }

    void failedStoreIsReportedAndKeepsTheDialog_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("name of a folder") << "sub";
        QTest::newRow("folder missing") << "nosuch/mypic.bmp";
        QTest::newRow("empty name") << "";
    }
    void failedStoreIsReportedAndKeepsTheDialog()
    {
        QFETCH(QString, name);
        Rig r;
        QVERIFY(QDir(r.here.path).mkdir("sub"));
        writeFile(r.here.file("sub/old.bmp"), "old");
        r.dlg.show();
        r.dlg.Text1->setText(name);
        QTest::mouseClick(r.dlg.cmdStoreFile, Qt::LeftButton);
        QCOMPARE(r.messages.size(), 1);
        QVERIFY(r.messages[0].title.endsWith("Error"));
        QVERIFY(r.messages[0].text.contains(r.state.PicturePath));
        QCOMPARE(r.state.PicturePath, PictureStore::joinPath(QDir::toNativeSeparators(r.here.path), name));
        QCOMPARE(r.host.beeps, 0);
        QVERIFY(r.dlg.isVisible());
        QCOMPARE(QDir(r.here.path).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"sub"});
        QFile old(r.here.file("sub/old.bmp"));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old"));
    }

    void failedDisplay_data()
    {
        QTest::addColumn<QString>("select");
        QTest::addColumn<QByteArray>("content");
        QByteArray bmp;
        {
            QBuffer b(&bmp);
            b.open(QIODevice::WriteOnly);
            pattern(23).save(&b, "BMP");
        }
        QByteArray huge = bmp.left(54);
        qToLittleEndian<qint32>(60000, huge.data() + 18);
        qToLittleEndian<qint32>(60000, huge.data() + 22);
        QTest::newRow("nothing selected") << "" << QByteArray();
        QTest::newRow("text file") << "notes.txt" << QByteArray("not a picture\r\n");
        QTest::newRow("truncated bitmap") << "cut.bmp" << bmp.left(bmp.size() - 100);
        QTest::newRow("huge dimensions") << "huge.bmp" << huge;
        QTest::newRow("file gone since listed") << "gone.bmp" << bmp;
    }
    void failedDisplay()
    {
        QFETCH(QString, select);
        QFETCH(QByteArray, content);
        Rig r;
        if (!select.isEmpty())
            writeFile(r.here.file(select), content);
        r.dlg.Dir1_Change();
        r.dlg.show();
        if (!select.isEmpty())
            choose(r.dlg.File1, select);
        if (select == "gone.bmp")
            QVERIFY(QFile::remove(r.here.file(select)));
        r.surface.image() = pattern(24);
        QTest::mouseClick(r.dlg.cmdDispFile, Qt::LeftButton);
        QCOMPARE(r.messages.size(), 1);
        QCOMPARE(r.messages[0].text, QString("No .BMP file is selected"));
        QCOMPARE(r.messages[0].title, QString("File Directory Error"));
        QCOMPARE(r.messages[0].icon, Host::Icon::None);
        QCOMPARE(r.state.PicturePath, PictureStore::joinPath(QDir::toNativeSeparators(r.here.path), select));
        QCOMPARE(r.host.beeps, 0);
        QVERIFY(r.dlg.isVisible());
        QCOMPARE(r.surface.image(), pattern(24));
    }

    void displayedPictureStartsTopLeftBlackBeyond()
    {
        Rig r;
        QImage small(100, 50, QImage::Format_RGB32);
        small.fill(qRgb(10, 200, 30));
        QVERIFY(small.save(r.here.file("small.png"), "PNG"));
        r.dlg.Dir1_Change();
        r.surface.image().fill(Qt::white);
        choose(r.dlg.File1, "small.png");
        r.dlg.cmdDispFile_Click();
        QVERIFY(r.messages.isEmpty());
        QCOMPARE(r.surface.image().pixel(0, 0), qRgb(10, 200, 30));
        QCOMPARE(r.surface.image().pixel(99, 49), qRgb(10, 200, 30));
        QCOMPARE(r.surface.image().pixel(100, 0), qRgb(0, 0, 0));
        QCOMPARE(r.surface.image().pixel(0, 50), qRgb(0, 0, 0));
    }

    // Through the main window's "Files" button.

    void oneDialogKeepsEverythingAcrossHideAndShow()
    {
        InFolder here;
        QVERIFY(QDir(here.path).mkdir("pics"));
        writeFile(here.file("pics/one.bmp"), "x");
        writeFile(here.file("pics/two.bmp"), "x");
        FakeD2xx d2xx;
        Corvameter_rem w(d2xx);
        w.show();
        QVERIFY(!w.filesDialog);
        w.cmdFiles->click();
        frmFiles* dlg = w.filesDialog.get();
        QVERIFY(dlg);
        QVERIFY(dlg->isVisible());
        QVERIFY(!dlg->parentWidget());

        dlg->Text1->setText("typed.bmp");
        openByDoubleClick(dlg->Dir1, dirItem(dlg->Dir1, here.file("pics")));
        choose(dlg->File1, "two.bmp");
        const int drive = dlg->Drive1->currentIndex();

        // A second click while it is open: the same dialog, to the front.
        w.cmdFiles->click();
        QCOMPARE(w.filesDialog.get(), dlg);
        QVERIFY(dlg->isVisible());

        dlg->cmdCancelFile->click();
        QVERIFY(!dlg->isVisible());
        w.cmdFiles->click();
        QCOMPARE(w.filesDialog.get(), dlg);
        QVERIFY(dlg->isVisible());
        QCOMPARE(dlg->Text1->text(), QString("typed.bmp"));
        QCOMPARE(dlg->dirPath(), here.file("pics"));
        QCOMPARE(dlg->fileFolder(), here.file("pics"));
        QCOMPARE(dlg->Drive1->currentIndex(), drive);
        QCOMPARE(dlg->File1->currentItem()->text(), QString("two.bmp"));
        QVERIFY(dlg->File1->currentItem()->isSelected());

        // The close control hides it the same way.
        QVERIFY(dlg->close());
        QVERIFY(!dlg->isVisible());
        w.cmdFiles->click();
        QCOMPARE(w.filesDialog.get(), dlg);
        QCOMPARE(dlg->Text1->text(), QString("typed.bmp"));
        QCOMPARE(dlg->dirPath(), here.file("pics"));
    }

    void dialogWorksOnTheMainWindowsDisplay()
    {
        InFolder here;
        FakeD2xx d2xx;
        Corvameter_rem w(d2xx);
        QStringList boxes;
        w.messageHook = [&](const QString& text, const QString& title, Host::Icon) { boxes << title + ": " + text; };
        w.cmdFiles->click();
        frmFiles* dlg = w.filesDialog.get();
        w.surface.image() = pattern(25);
        dlg->cmdStoreFile->click();
        QCOMPARE(w.state.PicturePath, QDir::toNativeSeparators(here.file("mypic.bmp")));
        w.surface.clear();
        w.cmdFiles->click();
        dlg->cmdDispFile->click();   // nothing selected
        QCOMPARE(boxes, QStringList{"File Directory Error: No .BMP file is selected"});
        choose(dlg->File1, "mypic.bmp");
        dlg->cmdDispFile->click();
        QCOMPARE(w.surface.image(), pattern(25));
        QVERIFY(!dlg->isVisible());
    }

    void messageBoxSitsOnTheDialog()
    {
        Rig r;
        r.dlg.messageHook = nullptr;
        r.dlg.show();
        QWidget* parent = nullptr;
        QString text;
        QTimer::singleShot(0, &r.dlg, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            parent = box->parentWidget();
            text = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        r.dlg.cmdDispFile_Click();
        QCOMPARE(parent, &r.dlg);
        QCOMPARE(text, QString("No .BMP file is selected"));
        QVERIFY(r.dlg.isVisible());
    }
};

QTEST_MAIN(TestFrmFiles)
#include "tst_frmfiles.moc"
