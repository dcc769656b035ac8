#pragma once
#include "host.h"
#include <QStringList>

// Records what the protocol code shows; message boxes return at once.
struct FakeHost : Host {
    struct Message {
        QString text, title;
        Icon icon;
    };
    QString text;
    QStringList text1History;
    QList<Message> messages;
    QList<bool> pointer;   // each busy/normal change
    int beeps = 0;

    void setText1(const QString& t) override { text1History << (text = t); }
    QString text1() const override { return text; }
    void showMessage(const QString& t, const QString& title, Icon icon) override { messages.append({t, title, icon}); }
    void setBusyPointer(bool busy) override { pointer << busy; }
    void beep() override { ++beeps; }
};
