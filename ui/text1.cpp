#include "text1.h"
#include "statuslines.h"
#include <QScrollBar>

Text1::Text1(QWidget* parent) : QPlainTextEdit(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setTabChangesFocus(true);
    // What the user types becomes the text, as if set by the program, with
    // the box's line ends (CR LF) as the program writes them.
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!setting_)
            text_ = toPlainText().replace(QChar(u'\n'), QStringLiteral("\r\n"));
    });
}

void Text1::setText(const QString& text)
{
    text_ = text;
    setting_ = true;
    setPlainText(statusLines(text).join(QChar(u'\n')));
    setting_ = false;
}
