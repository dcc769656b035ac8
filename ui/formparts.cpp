#include "formparts.h"
#include <QMessageBox>
#include <QPushButton>

QPushButton* button(QWidget* parent, const char* name, const char* caption, const char* tip, int l, int t, int w, int h)
{
    auto* b = new QPushButton(QString::fromLatin1(caption), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setToolTip(QString::fromLatin1(tip));
    b->setGeometry(px(l), px(t), px(w), px(h));
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

void showMessageBox(QWidget* parent, const QString& text, const QString& title, Host::Icon icon)
{
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Ok);
    switch (icon) {
    case Host::Icon::None: box.setIcon(QMessageBox::NoIcon); break;
    case Host::Icon::Information: box.setIcon(QMessageBox::Information); break;
    case Host::Icon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case Host::Icon::Critical: box.setIcon(QMessageBox::Critical); break;
    }
    box.exec();
}

QString withSlash(QString path)
{
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}
