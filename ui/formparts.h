#pragma once
// What the main window and the store dialog build their forms from: layout in
// twips, buttons, the OK message box.
#include "host.h"
#include <QString>

class QPushButton;
class QWidget;

// Layout is kept in twips, 15 to the pixel at 96 dpi.
constexpr int px(int twips) { return (twips + 7) / 15; }

// A push button at (l, t), w by h twips, that is never the default button.
QPushButton* button(QWidget* parent, const char* name, const char* caption, const char* tip, int l, int t, int w, int h);

// A modal box with an OK button and the icon asked for, on `parent`.
void showMessageBox(QWidget* parent, const QString& text, const QString& title, Host::Icon icon);

// The path with one '/' at its end.
QString withSlash(QString path);
