#include "frmfiles.h"
#include "fontfit.h"
#include "formparts.h"
#include "picturestore.h"
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QKeyEvent>
#include <QStyle>
#include <QStyledItemDelegate>

namespace {
// Indents each folder by its depth below the root, icon and all.
class FolderDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    static constexpr int kIndent = 12;
    void paint(QPainter* p, const QStyleOptionViewItem& o, const QModelIndex& i) const override
    {
        QStyleOptionViewItem opt(o);
        opt.rect.setLeft(opt.rect.left() + kIndent * i.data(frmFiles::kDepthRole).toInt());
        QStyledItemDelegate::paint(p, opt, i);
    }
    QSize sizeHint(const QStyleOptionViewItem& o, const QModelIndex& i) const override
    {
        QSize s = QStyledItemDelegate::sizeHint(o, i);
        s.rwidth() += kIndent * i.data(frmFiles::kDepthRole).toInt();
        return s;
    }
};

bool canList(const QString& folder)
{
    const QFileInfo f(folder);
#ifdef Q_OS_WIN
    return f.isDir() && f.isReadable();
#else
    return f.isDir() && f.isReadable() && f.isExecutable();
#endif
}
}   // namespace

frmFiles::frmFiles(Surface& surface, Host& host, QWidget* parent)
    : QWidget(parent), surface_(surface), host_(host)
{
    setObjectName(QStringLiteral("frmFiles"));
    setWindowTitle(QStringLiteral("Files"));
    resize(px(7110), px(5775));

    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setToolTip(QStringLiteral("Name of picture to be stored"));
    Text1->setGeometry(px(2760), px(1080), px(2055), px(495));

    Drive1 = new QComboBox(this);
    Drive1->setObjectName(QStringLiteral("Drive1"));
    Drive1->setToolTip(QStringLiteral("Select Drive"));
    Drive1->setGeometry(px(360), px(1080), px(2055), px(315));

    File1 = new QListWidget(this);
    File1->setObjectName(QStringLiteral("File1"));
    File1->setToolTip(QStringLiteral("Select File for display"));
    File1->setGeometry(px(2760), px(2520), px(2055), px(2820));
    File1->setSelectionMode(QAbstractItemView::SingleSelection);

    cmdStoreFile = button(this, "cmdStoreFile", "Store", "Store downloaded picture to disk", 5760, 360, 855, 495);
    cmdDispFile = button(this, "cmdDispFile", "Display", "Display a stored picture ", 5760, 1920, 855, 495);
    cmdCancelFile = button(this, "cmdCancelFile", "Cancel", "Return to main screen", 5760, 4440, 855, 495);

    Dir1 = new QListWidget(this);
    Dir1->setObjectName(QStringLiteral("Dir1"));
    Dir1->setToolTip(QStringLiteral("Select Folder"));
    Dir1->setGeometry(px(360), px(2040), px(2055), px(3240));
    Dir1->setSelectionMode(QAbstractItemView::SingleSelection);
    Dir1->setItemDelegate(new FolderDelegate(Dir1));

    Label1 = label("Label1", "To store a picture as a .BMP file, enter the file name then click 'Store'", 2640, 360, 2775, 375);
    Label2 = label("Label2", "To display a stored .BMP file select the required file then click'Display'", 2760, 1920, 2775, 495);
    Label3 = label("Label3", "Select Drive Required", 480, 720, 1695, 255);
    Label4 = label("Label4", "Select Folder Required", 480, 1680, 1695, 255);
    fitLabels();
    fitCaptions({cmdStoreFile, cmdDispFile, cmdCancelFile}, font());

    QWidget* order[] = {Text1, Drive1, File1, cmdStoreFile, cmdDispFile, cmdCancelFile, Dir1};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    // The lists start in the working directory, on its drive.
    drives_ = listDrives();
    const QString cwd = QDir::currentPath();
    int at = driveOf(cwd, drives_);
    if (at < 0) {
        const QString root = QDir(cwd).rootPath();
        drives_.prepend({withSlash(root), QDir::toNativeSeparators(root)});
        at = 0;
    }
    for (const Drive& d : drives_)
        Drive1->addItem(d.label, d.root);
    Drive1->setCurrentIndex(at);
    dirRoot_ = drives_[at].root;
    setDirPath(cwd);

    connect(cmdStoreFile, &QPushButton::clicked, this, &frmFiles::cmdStoreFile_Click);
    connect(cmdDispFile, &QPushButton::clicked, this, &frmFiles::cmdDispFile_Click);
    connect(cmdCancelFile, &QPushButton::clicked, this, &frmFiles::cmdCancelFile_Click);
    connect(Drive1, &QComboBox::currentIndexChanged, this, &frmFiles::Drive1_Change);
    // A folder opens on a double click only, even where the desktop opens
    // items on a single click; Enter opens the current one (eventFilter).
    connect(Dir1, &QListWidget::itemDoubleClicked, this, &frmFiles::openDir1Item);
    Dir1->installEventFilter(this);

    Form_Load();
}

QLabel* frmFiles::label(const char* name, const char* text, int l, int t, int w, int h)
{
    auto* lb = new QLabel(QString::fromLatin1(text), this);
    lb->setObjectName(QString::fromLatin1(name));
    lb->setGeometry(px(l), px(t), px(w), px(h));
    lb->setWordWrap(true);
    lb->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lb->setTextFormat(Qt::PlainText);
    return lb;
}

void frmFiles::fitLabels()
{
    // The instructions were laid out for a small font. To stay legible at the
    // desktop's own font each label keeps its left edge, widens up to the
    // control on its right and takes the lines it needs; where it would reach
    // the control below, it moves up. Only a font too big even for that
    // makes all four one size smaller.
    struct Room {
        QLabel* label;
        QWidget* right;   // nearest control to the right, if any
        QWidget* below;   // control under it
    } rooms[] = {{Label1, cmdStoreFile, Text1}, {Label2, cmdDispFile, File1}, {Label3, Text1, Drive1}, {Label4, File1, Dir1}};
    const int slack = 8;   // how far a label may move up
    QFont f = font();
    auto place = [&](bool apply) {
        bool all = true;
        for (const Room& r : rooms) {
            QRect g = r.label->geometry();
            g.setRight(std::max(g.right(), r.right->x() - 9));
            const int need = QFontMetrics(f).boundingRect(QRect(0, 0, g.width(), 100000), Qt::TextWordWrap, r.label->text()).height();
            g.setHeight(std::max(g.height(), need));
            g.moveBottom(std::min(g.bottom(), r.below->y() - 3));
            all = all && g.top() >= r.label->y() - slack;
            if (apply) {
                r.label->setFont(f);
                r.label->setGeometry(g);
            }
        }
        return all;
    };
    while (!place(false) && shrinkFont(f)) {
    }
    place(true);
}

void frmFiles::Form_Load()
{
    Text1->setText(QStringLiteral("mypic.bmp"));
}

void frmFiles::cmdStoreFile_Click()
{
    PicturePath = PictureStore::joinPath(QDir::toNativeSeparators(fileFolder_), Text1->text());
    QString why;
    if (!PictureStore::store(surface_.image(), PicturePath, &why)) {
        showMessage(QStringLiteral("The picture could not be stored as\n%1\n\n%2").arg(PicturePath, why),
                    QStringLiteral("Store Error"), Host::Icon::Exclamation);
        return;
    }
    host_.beep();
    hide();
}

void frmFiles::cmdDispFile_Click()
{
    const QListWidgetItem* chosen = File1->currentItem();
    const QString name = chosen && chosen->isSelected() ? chosen->text() : QString();
    PicturePath = PictureStore::joinPath(QDir::toNativeSeparators(fileFolder_), name);
    // With nothing chosen the path names the folder, which is no picture either.
    const QImage picture = PictureStore::load(PicturePath);
    if (picture.isNull()) {
        showMessage(QStringLiteral("No .BMP file is selected"), QStringLiteral("File Directory Error"), Host::Icon::None);
        return;
    }
    surface_.setPicture(picture);
    surface_.changed();
    host_.beep();
    hide();
}

void frmFiles::cmdCancelFile_Click()
{
    hide();
}

void frmFiles::Drive1_Change()
{
    const QString root = Drive1->currentData().toString();
    if (!canList(root)) {
        // The selector keeps the new drive; the lists stay where they were.
        showMessage(QStringLiteral("Selected Drive not ready"), QStringLiteral("Drive Error"), Host::Icon::Exclamation);
        return;
    }
    // Back to the folder last used on that drive, if it is still there.
    QString target = lastFolder_.value(root, root);
    if (!canList(target))
        target = root;
    dirRoot_ = root;
    setDirPath(target);
}

void frmFiles::Dir1_Change()
{
    fileFolder_ = dirPath_;
    fillFile1(false);
}

void frmFiles::setDirPath(const QString& path)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    const bool moved = clean != dirPath_;
    dirPath_ = clean;
    lastFolder_[dirRoot_] = clean;
    fillDir1();
    if (moved)
        Dir1_Change();
}

void frmFiles::openDir1Item(QListWidgetItem* item)
{
    const QString path = item->data(kPathRole).toString();
    if (!canList(path)) {
        showMessage(QStringLiteral("The folder\n%1\ncannot be opened.").arg(QDir::toNativeSeparators(path)),
                    QStringLiteral("Folder Error"), Host::Icon::Exclamation);
        return;
    }
    setDirPath(path);
}

void frmFiles::fillDir1()
{
    const QStyle* s = style();
    const QIcon open = s->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closed = s->standardIcon(QStyle::SP_DirClosedIcon);
    auto add = [&](const QString& text, const QString& path, int depth, const QIcon& icon) {
        auto* item = new QListWidgetItem(icon, text, Dir1);
        item->setData(kPathRole, path);
        item->setData(kDepthRole, depth);
        return item;
    };

    Dir1->clear();
    // From the root down to the current folder, then the current folder's subfolders.
    const QString root = dirRoot_;
    const bool bare = root == QLatin1String("/") || (root.size() == 3 && root[1] == QLatin1Char(':'));
    const QString rootShown = bare ? root : root.chopped(1);
    QListWidgetItem* current = add(QDir::toNativeSeparators(rootShown), QDir::cleanPath(root), 0, open);
    const QString rest = withSlash(dirPath_).startsWith(root) ? withSlash(dirPath_).mid(root.size()) : QString();
    QString at = root;
    int depth = 0;
    for (const QString& part : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        at += part + QLatin1Char('/');
        current = add(part, QDir::cleanPath(at), ++depth, open);
    }
    const QFileInfoList subs = QDir(dirPath_).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                                                            QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& sub : subs)
        add(sub.fileName(), QDir::cleanPath(sub.absoluteFilePath()), depth + 1, closed);
    Dir1->setCurrentItem(current);
}

void frmFiles::fillFile1(bool keepSelection)
{
    const QListWidgetItem* was = File1->currentItem();
    const QString keep = keepSelection && was && was->isSelected() ? was->text() : QString();
    File1->clear();
    // Every file, whatever its name; pipes and devices are no pictures.
    File1->addItems(QDir(fileFolder_).entryList(QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase));
    if (!keep.isEmpty()) {
        const auto found = File1->findItems(keep, Qt::MatchExactly);
        if (!found.isEmpty())
            File1->setCurrentItem(found.first());
    }
}

void frmFiles::showMessage(const QString& text, const QString& title, Host::Icon icon)
{
    if (messageHook)
        messageHook(text, title, icon);
    else
        messageBox(text, title, icon);
}

void frmFiles::messageBox(const QString& text, const QString& title, Host::Icon icon)
{
    showMessageBox(this, text, title, icon);
}

bool frmFiles::eventFilter(QObject* watched, QEvent* e)
{
    if (watched == Dir1 && e->type() == QEvent::KeyPress && Dir1->currentItem()) {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            openDir1Item(Dir1->currentItem());
            return true;
        }
    }
    return QWidget::eventFilter(watched, e);
}

void frmFiles::closeEvent(QCloseEvent* e)
{
    // The close control hides the dialog like "Cancel"; it keeps what it held.
    cmdCancelFile_Click();
    e->accept();
}

void frmFiles::showEvent(QShowEvent* e)
{
    // Shown again: read the folder afresh so that a picture just stored is
    // listed; the folder, the name and the chosen file stay.
    fillDir1();
    fillFile1(true);
    QWidget::showEvent(e);
}
