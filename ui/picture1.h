#pragma once
#include "surface.h"
#include <QWidget>

class QMenu;

// The display area: a borderless black box that shows the persistent image,
// pixel for pixel, never smoothed when the screen scales it. A right click
// offers "Copy Picture", which puts that image on the clipboard.
class Picture1 : public QWidget {
    Q_OBJECT
public:
    Picture1(Surface& surface, QWidget* parent);
    static constexpr int kImageLeft = 2;   // centres 320 pixels in the 324-pixel box

protected:
    void paintEvent(QPaintEvent*) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    Surface& surface_;
    QMenu* menu_ = nullptr;   // made at the first right click
};
