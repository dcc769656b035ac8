#pragma once
#include "diagnosis.h"
#include "host.h"
#include "session.h"
#include <QGroupBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

class DynamicD2xx;
class frmFiles;
class Picture1;
class Text1;

class Corvameter_rem : public QWidget, public Host {
    Q_OBJECT
public:
    explicit Corvameter_rem(D2xx& d2xx, QWidget* parent = nullptr);
    ~Corvameter_rem() override;

    // Host
    void setText1(const QString& text) override;
    QString text1() const override;
    void showMessage(const QString& text, const QString& title, Icon icon) override;
    void setBusyPointer(bool busy) override;
    void beep() override;

    void cmdExit_Click();
    void cmdFiles_Click();

    // How "Exit" ends the program; tests replace it to watch it happen.
    std::function<void()> terminate;
    // When set, message boxes go here instead of on screen (tests).
    std::function<void(const QString& text, const QString& title, Icon icon)> messageHook;
    // The machine the first failed open is explained from; tests give a tree of their own.
    diagnosis::Where where;

    // The link, display image, screen capture and error log, with this window as their host.
    Session session;

    QGroupBox* Frame1;
    QGroupBox* Frame2;
    QPushButton* cmdGetLog;
    QPushButton* cmdPrintLog;
    QPushButton* cmdEraseLog;
    QPushButton* cmdDownLoad;
    QPushButton* cmdContinuous;
    QPushButton* cmdStop;
    QPushButton* cmdFiles;
    QPushButton* cmdClear;
    QPushButton* cmdExit;
    Text1* text1Box;
    Picture1* picture1;
    // The picture store dialog, made by the first "Files" click; the
    // destructor ends it before the session whose display it works on.
    std::unique_ptr<frmFiles> filesDialog;

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void connectHandler(QPushButton* b, std::function<void()> handler);
    void showOpenHint();

    // Linux only: the first time the instrument cannot be listed or opened,
    // or no driver library loads, what the machine tells of the cause
    // follows the handler, once a run.
    const DynamicD2xx* driver_;   // null when the driver is not the loader (tests)
    bool openHintShown_ = false;
};
