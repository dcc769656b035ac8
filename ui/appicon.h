#pragma once
#include <QIcon>
#include <QImage>

// The program's icon: a blue instrument with a yellow screen on a stand.
QImage drawAppIcon();
QIcon appIcon();
