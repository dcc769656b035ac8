#pragma once
#include "surface.h"
#include <QWidget>

// The display area: a borderless black box that shows the persistent image,
// pixel for pixel, never smoothed when the screen scales it.
class Picture1 : public QWidget {
    Q_OBJECT
public:
    Picture1(Surface& surface, QWidget* parent);
    static constexpr int kImageLeft = 2;   // centres 320 pixels in the 324-pixel box

protected:
    void paintEvent(QPaintEvent*) override;

private:
    Surface& surface_;
};
