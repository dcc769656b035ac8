#include "exchange.h"
#include "console.h"
#include "diagnosis.h"
#include "protocol.h"
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <cstdio>

namespace {
const QString kCrLf = QStringLiteral("\r\n");
}

void err(const QString& text)
{
    std::fputs(qPrintable(QStringLiteral("corvactl: ") + text + u'\n'), stderr);
}

void ConsoleHost::showMessage(const QString& t, const QString& title, Icon)
{
    err(title + QStringLiteral(": ") + t);
    if (onMessage)
        onMessage(title, t);
}

void ConsoleHost::print(QString news) const
{
    if (!echo)
        return;
    news.replace(kCrLf, QStringLiteral("\n"));
    if (news.endsWith(u'\n'))
        news.chop(1);
    if (!news.isEmpty())
        std::fputs(qPrintable(news + u'\n'), stderr);
}

Console::Console(DynamicD2xx& d, const QString& graticules, const QByteArray& serial)
    : driver(d), watch(d), session(watch, host)
{
    session.screen.graticuleDir = graticules;
    session.link.serialWanted = serial;
    session.status.onNews = [this](const QString& news) { host.print(news); };
}

QString Console::cause(const Link::OpenResult& open) const
{
    const auto f = finding(open);
    return f ? f->line() : QString();
}

std::optional<diagnosis::Finding> Console::finding(const Link::OpenResult& open) const
{
    if (open.outcome != Link::OpenOutcome::ListFailed && open.outcome != Link::OpenOutcome::OpenExFailed)
        return std::nullopt;
    const Link& link = session.link;
    // A serial number the user gave is looked for among those attached.
    if (!link.serialWanted.isEmpty()) {
        const QList<QByteArray> attached = link.attachedSerials();
        if (!attached.contains(link.serialWanted))
            return diagnosis::Finding{
                diagnosis::Finding::Cause::NoDevice,
                QStringLiteral("no instrument with serial number %1 is attached (%2)")
                    .arg(QString::fromLatin1(link.serialWanted),
                         attached.isEmpty() ? QStringLiteral("none is")
                                            : QStringLiteral("attached: ") + QString::fromLatin1(attached.join(", "))),
                QStringLiteral("check the number with corvactl list")};
    }
    return diagnosis::explainFailedOpen(driver.library().value_or(diagnosis::Library::Vendor),
                                        QString::fromLatin1(open.serial));
}

FrameOutcome Console::picture(bool single)
{
    ScreenCapture& screen = session.screen;
    FrameOutcome frame = screen.cmdDownLoad_Click();
    if (!single && protocol::isAudioMode(screen.DisplayMode) && frame.ok())
        frame = screen.cmdDownLoad_Click();
    return frame;
}

void Console::reportFailure(const Link::OpenResult& open) const
{
    if (!watch.failure.isEmpty()) {
        err(watch.failure);
        return;
    }
    if (const QString why = cause(open); !why.isEmpty())
        err(why);
}

QByteArray formatFor(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == u"png")
        return "png";
    if (suffix == u"bmp")
        return "bmp";
    return {};
}

QByteArray encode(const QImage& image, const QByteArray& format)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    // Bitmaps as "Store" writes them: 24 bits a pixel.
    QImageWriter(&buffer, format).write(format == "bmp" ? image.convertToFormat(QImage::Format_RGB888) : image);
    return buffer.data();
}

bool writeAtomically(const QString& path, const QByteArray& bytes)
{
    if (path == u"-") {
        binaryStdout();
        QFile out;
        return out.open(stdout, QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.flush();
    }
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    err(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return false;
}

bool writable(const QString& path)
{
    if (path == u"-")
        return true;
    QSaveFile probe(path);
    if (probe.open(QIODevice::WriteOnly)) {
        probe.cancelWriting();
        return true;
    }
    err(QStringLiteral("cannot write %1: %2").arg(path, probe.errorString()));
    return false;
}
