#include "picture1.h"
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>

Picture1::Picture1(Surface& surface, QWidget* parent) : QWidget(parent), surface_(surface)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::TabFocus);
}

void Picture1::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.fillRect(rect(), Qt::black);
    p.drawImage(kImageLeft, 0, surface_.image());
}

void Picture1::contextMenuEvent(QContextMenuEvent* event)
{
    // The mouse only: the display takes no keys, the menu key included.
    if (event->reason() != QContextMenuEvent::Mouse) {
        event->ignore();
        return;
    }
    if (!menu_) {
        menu_ = new QMenu(this);
        // The toolkit offers an image as PNG and as the platform's bitmap type.
        menu_->addAction(QStringLiteral("Copy Picture"),
                         [this] { QGuiApplication::clipboard()->setImage(surface_.image()); });
    }
    // Not exec(): a nested loop here would hold up a continuous download
    // waiting in its pause for as long as the menu is open.
    menu_->popup(event->globalPos());
}
