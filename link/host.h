#pragma once
// What the protocol code needs from the window, so that it can run and be
// tested without one.
#include <QString>

class Host {
public:
    enum class Icon { None, Information, Exclamation, Critical };
    virtual ~Host() = default;
    // The status box Text1: its whole text at once.
    virtual void setText1(const QString& text) = 0;
    virtual QString text1() const = 0;
    // A modal message box with an OK button.
    virtual void showMessage(const QString& text, const QString& title, Icon icon) = 0;
    virtual void setBusyPointer(bool busy) = 0;
    virtual void beep() = 0;
};
