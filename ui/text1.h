#pragma once
#include <QPlainTextEdit>

// The status box. Keeps the exact text it was given (CR LF line ends, any
// byte) for whoever reads it back, and shows it as it is printed.
class Text1 : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit Text1(QWidget* parent);
    void setText(const QString& text);
    QString text() const { return text_; }

private:
    QString text_;
    bool setting_ = false;
};
