#pragma once
#include "drives.h"
#include "host.h"
#include "surface.h"
#include <QHash>
#include <QWidget>
#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

// The picture store dialog: stores the display as a .BMP file in a folder the
// user picks and loads stored pictures back. A plain top-level window without
// an owner, so Enter and Escape do nothing by themselves; it is only ever
// hidden, never destroyed, while the program runs.
class frmFiles : public QWidget {
    Q_OBJECT
public:
    frmFiles(Surface& surface, Host& host, QWidget* parent = nullptr);

    void Form_Load();
    void cmdStoreFile_Click();
    void cmdDispFile_Click();
    void cmdCancelFile_Click();
    void Drive1_Change();
    void Dir1_Change();

    // The folder list's current folder and the file list's folder ('/'
    // separators, no trailing one except at a root).
    QString dirPath() const { return dirPath_; }
    QString fileFolder() const { return fileFolder_; }
    // Moves the folder list; the file list follows through Dir1_Change.
    void setDirPath(const QString& path);

    // A modal box with an OK button, on this dialog.
    void showMessage(const QString& text, const QString& title, Host::Icon icon);
    void messageBox(const QString& text, const QString& title, Host::Icon icon);
    // When set, showMessage goes here instead (tests, the main window's hook).
    std::function<void(const QString& text, const QString& title, Host::Icon icon)> messageHook;

    // Item data of Dir1: the folder's path, and its depth below the root.
    static constexpr int kPathRole = Qt::UserRole;
    static constexpr int kDepthRole = Qt::UserRole + 1;

    // The path the latest "Store" or "Display" built.
    QString PicturePath;

    QLineEdit* Text1;
    QComboBox* Drive1;
    QListWidget* File1;
    QPushButton* cmdStoreFile;
    QPushButton* cmdDispFile;
    QPushButton* cmdCancelFile;
    QListWidget* Dir1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    QLabel* label(const char* name, const char* text, int l, int t, int w, int h);
    void fitLabels();
    void openDir1Item(QListWidgetItem* item);
    void fillDir1();
    void fillFile1(bool keepSelection);

    Surface& surface_;
    Host& host_;
    QList<Drive> drives_;
    QString dirRoot_;                      // root of the drive the folder list is on
    QString dirPath_;
    QString fileFolder_;
    QHash<QString, QString> lastFolder_;   // per drive root: where the folder list last was
};
