#include "text1.h"
#include <QScrollBar>

Text1::Text1(QWidget* parent) : QPlainTextEdit(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setTabChangesFocus(true);
    // What the user types becomes the text, as if set by the program.
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!setting_)
            text_ = toPlainText();
    });
}

void Text1::setText(const QString& text)
{
    text_ = text;
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QChar('\r'), QChar('\n'));
    shown.remove(QChar('\0'));
    setting_ = true;
    setPlainText(shown);
    setting_ = false;
}
