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
    // An answer that came late spoils the picture but not the next one: one more try.
    if (frame.failed == Outcome::NoAnswer)
        frame = screen.cmdDownLoad_Click();
    if (!single && protocol::isAudioMode(screen.DisplayMode) && frame.ok())
        frame = screen.cmdDownLoad_Click();
    return frame;
}

QString Console::failedSteps(const Outcome& o) const
{
    // Nothing after a failed open had a chance.
    if (o.failedAt(Outcome::Open))
        return o.open.message();
    const ScreenCapture& screen = session.screen;
    const char* graticule = ScreenCapture::graticuleFile(screen.DisplayMode);
    const std::pair<Outcome::Step, QString> words[] = {
        {Outcome::Write, QStringLiteral("Write Failed")},
        {Outcome::SetTimeouts, QStringLiteral("SetTimeout Failed")},
        {Outcome::QueuePoll, QStringLiteral("Queue Read Failed")},
        {Outcome::NoAnswer, QStringLiteral("No whole answer from the Corvameter")},
        {Outcome::Read, QStringLiteral("Read Failed")},
        {Outcome::Graticule, ScreenCapture::graticuleMissing(QString::fromLatin1(graticule ? graticule : "?"),
                                                             screen.graticuleDir)},
        {Outcome::Close, QStringLiteral("USB Close Failed")},
        {Outcome::RunTime, QStringLiteral("run-time error %1").arg(o.runTimeError)},
    };
    QStringList failed;
    for (const auto& [step, text] : words)
        if (o.failedAt(step))
            failed << text;
    return failed.join(QStringLiteral(", "));
}

diagnosis::Finding Console::diagnose(const Outcome& o) const
{
    using diagnosis::Finding;
    if (!watch.failure.isEmpty())
        return {Finding::Cause::LibraryMissing, watch.failure,
                DynamicD2xx::libftdiBuiltIn() ? QStringLiteral("install FTDI's D2XX library, or give --driver libftdi")
                                              : QStringLiteral("install FTDI's D2XX driver")};
    if (const auto f = finding(o.open))
        return *f;
    if (o.failed == Outcome::NoAnswer)
        return {Finding::Cause::Unknown, QStringLiteral("the instrument answered late or not at all"),
                QStringLiteral("try again; if it goes on, check the instrument's USB cable and power")};
    if (o.failed == Outcome::Graticule)
        return {Finding::Cause::Unknown, QStringLiteral("the picture has no graticule behind it"),
                QStringLiteral("give the folder of the graticule bitmaps with --graticules DIR")};
    return {Finding::Cause::Unknown, QStringLiteral("the exchange with the instrument broke off"),
            QStringLiteral("check the instrument's USB cable and power, then try again")};
}

void Console::reportFailure(const QString& what, const Outcome& o) const
{
    err(QStringLiteral("%1 failed: %2").arg(what, failedSteps(o)));
    err(diagnose(o).line());
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
