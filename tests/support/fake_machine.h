#pragma once
// A machine's sysfs, /proc and device nodes in a folder, for the diagnosis
// and for libftdi1's choice of device.
#include "diagnosis.h"
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

// One line per thing, ';' between them:
//   dev NAME bus=B addr=A prod=6001 serial=S desc=D~E driver=ftdi_sio tty=ttyUSB0 mode=0664
//   hold PID COMM PATH
struct FakeMachine {
    QTemporaryDir dir;
    explicit FakeMachine(const QString& things)
    {
        for (const QString& line : things.split(u';', Qt::SkipEmptyParts)) {
            const QStringList w = line.split(u' ', Qt::SkipEmptyParts);
            if (w[0] == "hold") {
                put("proc/" + w[1] + "/comm", w[2]);
                const QDir fd(dir.filePath("proc/" + w[1] + "/fd"));
                QVERIFY(fd.mkpath("."));
                QVERIFY(QFile::link(w[3], fd.filePath(QString::number(fd.entryList(QDir::System | QDir::NoDotAndDotDot).size() + 3))));
                continue;
            }
            QMap<QString, QString> kv{{"prod", "6001"}, {"mode", "0666"}};
            for (const QString& p : w.mid(2))
                kv[p.section(u'=', 0, 0)] = p.section(u'=', 1).replace(u'~', u' ');
            const QString dev = "sys/bus/usb/devices/" + w[1] + "/";
            put(dev + "idVendor", "0403"), put(dev + "idProduct", kv["prod"]);
            put(dev + "busnum", kv["bus"]), put(dev + "devnum", kv["addr"]);
            if (kv.contains("serial"))
                put(dev + "serial", kv["serial"]);
            if (kv.contains("desc"))
                put(dev + "product", kv["desc"]);
            const QString iface = "sys/bus/usb/devices/" + w[1] + ":1.0";
            QVERIFY(QDir(dir.path()).mkpath(iface));
            if (kv.contains("driver"))
                QVERIFY(QFile::link("/sys/bus/usb/drivers/" + kv["driver"], dir.filePath(iface + "/driver")));
            if (kv.contains("tty"))
                QVERIFY(QDir(dir.path()).mkpath(iface + "/" + kv["tty"] + "/tty"));
            const QString node = QString("dev/bus/usb/%1/%2").arg(kv["bus"].toInt(), 3, 10, QChar(u'0')).arg(kv["addr"].toInt(), 3, 10, QChar(u'0'));
            put(node, {});
            QCOMPARE(chmod(QFile::encodeName(dir.filePath(node)).constData(), mode_t(kv["mode"].toUInt(nullptr, 8))), 0);
        }
    }
    void put(const QString& path, const QString& text)
    {
        QVERIFY(QDir(dir.path()).mkpath(QFileInfo(path).path()));
        QFile f(dir.filePath(path));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text.toUtf8() + '\n');
    }
    // As uid 4242, the process 999.
    diagnosis::Where where() const { return {dir.path(), diagnosis::Identity{4242, {4242}}, 999}; }
    QList<diagnosis::FtdiDevice> devices() const { return diagnosis::ftdiDevices(where()); }
};

