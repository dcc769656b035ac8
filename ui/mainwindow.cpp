#include "mainwindow.h"
#include "appicon.h"
#include "dynamic_d2xx.h"
#include "frmfiles.h"
#include "fontfit.h"
#include "formparts.h"
#include "picture1.h"
#include "text1.h"
#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QProxyStyle>
#include <qdrawutil.h>
#include <cstdio>
#include <cstdlib>

namespace {
// Group boxes drawn the classic way: the caption sits in the frame's top
// line, so the box's whole height below the caption is free for the buttons
// placed in it. Styles that draw the caption above the frame would put the
// frame's top line through the first button.
class GroupBoxStyle : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl cc, const QStyleOptionComplex* opt, SubControl sc, const QWidget* w) const override
    {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(opt);
        if (cc != CC_GroupBox || !box)
            return QProxyStyle::subControlRect(cc, opt, sc, w);
        const QRect r = box->rect;
        const int h = box->fontMetrics.height();
        switch (sc) {
        case SC_GroupBoxLabel: return {r.left() + 6, r.top(), box->fontMetrics.horizontalAdvance(box->text) + 6, h};
        case SC_GroupBoxFrame: return r.adjusted(0, h / 2, 0, 0);
        case SC_GroupBoxContents: return r.adjusted(2, h + 1, -2, -2);
        default: return {};
        }
    }
    void drawComplexControl(ComplexControl cc, const QStyleOptionComplex* opt, QPainter* p, const QWidget* w) const override
    {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(opt);
        if (cc != CC_GroupBox || !box)
            return QProxyStyle::drawComplexControl(cc, opt, p, w);
        const QRect label = subControlRect(cc, opt, SC_GroupBoxLabel, w);
        p->save();
        p->setClipRegion(QRegion(box->rect).subtracted(label));
        // An etched line, drawn here: some styles' own group frame moves itself below the caption.
        qDrawShadeRect(p, subControlRect(cc, opt, SC_GroupBoxFrame, w), box->palette, true, 1, 0);
        p->restore();
        drawItemText(p, label, Qt::AlignCenter, box->palette, box->state & State_Enabled, box->text, QPalette::WindowText);
    }
};
}

Corvameter_rem::Corvameter_rem(D2xx& d2xx, QWidget* parent)
    : QWidget(parent),
      session(d2xx, *this),
      driver_(dynamic_cast<const DynamicD2xx*>(&d2xx))
{
    setObjectName(QStringLiteral("Corvameter_rem"));
    setWindowTitle(QStringLiteral("Brisko Corvameter  Remote Control   Ver " CORVA_VERSION));
    setWindowIcon(appIcon());
    resize(px(7575), px(7455));

    terminate = [] {
        std::fflush(nullptr);
        std::_Exit(0);
    };

    Frame1 = new QGroupBox(QStringLiteral("Logger"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(px(360), px(240), px(1455), px(2415));
    cmdGetLog = button(Frame1, "cmdGetLog", "Get Log", "Downloads error log data from Corvameter", 240, 240, 975, 495);
    cmdPrintLog = button(Frame1, "cmdPrintLog", "Print Log", "Sends the error log data to your Printer", 240, 960, 975, 495);
    cmdEraseLog = button(Frame1, "cmdEraseLog", "Erase Log", "Erases the error logs stored in the Corvameter", 240, 1680, 975, 495);

    Frame2 = new QGroupBox(QStringLiteral("Download"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setGeometry(px(360), px(3000), px(1455), px(3375));
    cmdDownLoad = button(Frame2, "cmdDownLoad", "1 Frame", "Download 1 screen from the Corvameter ", 240, 360, 975, 495);
    cmdContinuous = button(Frame2, "cmdContinuous", "Continuous", "Download screen continuously from Corvameter", 240, 1080, 975, 495);
    cmdStop = button(Frame2, "cmdStop", "Stop", "Stop continuous download", 240, 1800, 975, 495);
    cmdFiles = button(Frame2, "cmdFiles", "Files", "Store & Recall Corvameter downloaded pictures", 240, 2520, 975, 495);

    text1Box = new Text1(this);
    text1Box->setObjectName(QStringLiteral("Text1"));
    text1Box->setGeometry(px(2160), px(360), px(4815), px(2175));

    picture1 = new Picture1(session.surface, this);
    picture1->setObjectName(QStringLiteral("Picture1"));
    picture1->setGeometry(px(2160), px(2760), 324, px(3615));
    session.surface.onChanged = [this] { picture1->update(); };

    cmdClear = button(this, "cmdClear", "Clear", "Clear display area", 2160, 6840, 975, 495);
    cmdExit = button(this, "cmdExit", "Exit", "Exit the Remote Control utility", 6000, 6840, 975, 495);

    // Made after the boxes, so it is deleted after them.
    auto* boxStyle = new GroupBoxStyle;
    boxStyle->setParent(this);
    // The caption must end above the first button (16 pixels down in "Logger").
    QFont boxFont = font();
    while (QFontMetrics(boxFont).height() + 1 > cmdGetLog->y() && shrinkFont(boxFont)) {
    }
    for (QGroupBox* g : {Frame1, Frame2}) {
        g->setStyle(boxStyle);
        g->setFont(boxFont);
    }
    // The fixed 65-pixel buttons share one caption size.
    fitCaptions(findChildren<QPushButton*>(), font());

    // Keyboard order: display, Exit, status box, Logger buttons, Clear, Download buttons.
    QWidget* order[] = {picture1, cmdExit, text1Box, cmdGetLog, cmdPrintLog, cmdEraseLog,
                        cmdClear, cmdDownLoad, cmdContinuous, cmdStop, cmdFiles};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    // Focus starts on the display, which takes no keys: a key pressed right
    // after start runs nothing.
    picture1->setFocus();

    connectHandler(cmdGetLog, [this] { session.errorLog.cmdGetLog_Click(); });
    connectHandler(cmdPrintLog, [this] { session.errorLog.cmdPrintLog_Click(); });
    connectHandler(cmdEraseLog, [this] { session.errorLog.cmdEraseLog_Click(); });
    connectHandler(cmdDownLoad, [this] { session.screen.cmdDownLoad_Click(); });
    connectHandler(cmdContinuous, [this] { session.screen.cmdContinuous_Click(); });
    connectHandler(cmdStop, [this] { session.screen.cmdStop_Click(); });
    connectHandler(cmdClear, [this] { session.screen.cmdClear_Click(); });
    connectHandler(cmdFiles, [this] { cmdFiles_Click(); });
    connectHandler(cmdExit, [this] { cmdExit_Click(); });
}

Corvameter_rem::~Corvameter_rem()
{
    filesDialog.reset();
    session.surface.onChanged = nullptr;
}

void Corvameter_rem::connectHandler(QPushButton* b, std::function<void()> handler)
{
    // A run-time failure no handler traps is shown, and the program goes on.
    connect(b, &QPushButton::clicked, this, [this, handler = std::move(handler)] {
        try {
            handler();
        } catch (const D2xxError& e) {
            showMessage(QStringLiteral("Run-time error %1:\n\n%2").arg(e.code()).arg(QString::fromStdString(e.what())),
                        QStringLiteral("Run-time Error"), Icon::Critical);
        } catch (const std::exception& e) {
            showMessage(QStringLiteral("Run-time error:\n\n%1").arg(QString::fromStdString(e.what())),
                        QStringLiteral("Run-time Error"), Icon::Critical);
        }
        showOpenHint();
    });
}

void Corvameter_rem::showOpenHint()
{
#if defined(__linux__)
    // Decided by how the link's last open ended, then forgotten, so a nested
    // handler's outcome is judged once.
    Link& link = session.link;
    const Link::OpenOutcome outcome = link.lastOpen;
    link.lastOpen = Link::OpenOutcome::NotTried;
    // A driver that is not the loader stands for FTDI's library.
    const diagnosis::Library library =
        driver_ ? driver_->library().value_or(diagnosis::Library::Vendor) : diagnosis::Library::Vendor;
    // Only a failed list or open, or no library at all, has a cause the machine can tell.
    const bool failed = library == diagnosis::Library::Missing || outcome == Link::OpenOutcome::ListFailed
                        || outcome == Link::OpenOutcome::OpenExFailed;
    if (openHintShown_ || !failed)
        return;
    openHintShown_ = true;
    const QString serial = outcome == Link::OpenOutcome::OpenExFailed ? QString::fromLatin1(link.SerialNumber.data()) : QString();
    showMessage(diagnosis::explainFailedOpen(library, serial, where).sentences()
                    + QStringLiteral("\n\nThe README's \"First-run problems\" section has the details."),
                QStringLiteral("USB Device"), Icon::Information);
#endif
}

void Corvameter_rem::setText1(const QString& text)
{
    text1Box->setText(text);
}

QString Corvameter_rem::text1() const { return text1Box->text(); }

void Corvameter_rem::showMessage(const QString& text, const QString& title, Icon icon)
{
    if (messageHook) {
        messageHook(text, title, icon);
        return;
    }
    showMessageBox(this, text, title, icon);
}

void Corvameter_rem::setBusyPointer(bool busy)
{
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void Corvameter_rem::beep() { QApplication::beep(); }

void Corvameter_rem::cmdExit_Click()
{
    session.screen.ContinuousOn = false;
    session.link.Wait_ms(100);
    terminate();
}

void Corvameter_rem::cmdFiles_Click()
{
    if (!filesDialog) {
        filesDialog = std::make_unique<frmFiles>(session.surface, *this);
        // The dialog's boxes sit on the dialog, unless a test watches this window's.
        filesDialog->messageHook = [this](const QString& text, const QString& title, Icon icon) {
            if (messageHook)
                messageHook(text, title, icon);
            else
                filesDialog->messageBox(text, title, icon);
        };
    }
    // Modeless and without an owner; a second click brings the one dialog to the front.
    filesDialog->setWindowState(filesDialog->windowState() & ~Qt::WindowMinimized);
    filesDialog->show();
    filesDialog->raise();
    filesDialog->activateWindow();
}

void Corvameter_rem::closeEvent(QCloseEvent* e)
{
    // The close control is the same way out as "Exit".
    e->ignore();
    cmdExit_Click();
}
