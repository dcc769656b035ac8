// corvactl: the Corvameter from a terminal or a script. It runs the same
// exchanges as the window program's buttons, through the same link, screen and
// log code, with the status box going to standard error instead.
#include "console.h"
#include "dynamic_d2xx.h"
#include "errorlog.h"
#include "link.h"
#include "screen.h"
#include "surface.h"
#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

enum Exit : int { kOk = 0, kFailed = 1, kUsage = 2 };

const QString kCrLf = QStringLiteral("\r\n");

void err(const QString& text)
{
    std::fputs(qPrintable(QStringLiteral("corvactl: ") + text + u'\n'), stderr);
}

int usage(const QString& why)
{
    err(why);
    std::fputs("Try 'corvactl --help' for more information.\n", stderr);
    return kUsage;
}

// The window's status box and message boxes, shown on standard error: each
// change prints what it added, or the whole new text when it replaced the old.
class ConsoleHost : public Host {
public:
    bool echo = true;
    QStringList shown;      // every text the status box was given, in order
    QStringList boxes;      // message boxes, as "title: text"

    void setText1(const QString& t) override
    {
        if (echo) {
            const bool grew = !text_.isEmpty() && t != text_ && t.startsWith(text_);
            QString part = grew ? t.mid(text_.size()) : t;
            part.replace(kCrLf, QStringLiteral("\n"));
            if (part.endsWith(u'\n'))
                part.chop(1);
            if (!part.isEmpty())
                std::fputs(qPrintable(part + u'\n'), stderr);
        }
        shown << t;
        text_ = t;
    }
    QString text1() const override { return text_; }
    void showMessage(const QString& t, const QString& title, Icon) override
    {
        boxes << title + QStringLiteral(": ") + t;
        err(boxes.last());
    }
    void setBusyPointer(bool) override {}
    void beep() override {}

private:
    QString text_;
};

// Passes every call on, and keeps the reason when the driver library cannot be
// used, which the log download only reports by number.
class DriverWatch : public D2xx {
public:
    explicit DriverWatch(D2xx& d) : d_(d) {}
    QString failure;

    FT_STATUS ListDevices(void* a, void* b, DWORD f) override { return call([&] { return d_.ListDevices(a, b, f); }); }
    FT_STATUS OpenEx(void* a, DWORD f, FT_HANDLE* h) override { return call([&] { return d_.OpenEx(a, f, h); }); }
    FT_STATUS Write(FT_HANDLE h, void* b, DWORD n, DWORD* w) override { return call([&] { return d_.Write(h, b, n, w); }); }
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) override { return call([&] { return d_.SetTimeouts(h, r, w); }); }
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* q) override { return call([&] { return d_.GetQueueStatus(h, q); }); }
    FT_STATUS Read(FT_HANDLE h, void* b, DWORD n, DWORD* r) override { return call([&] { return d_.Read(h, b, n, r); }); }
    FT_STATUS Close(FT_HANDLE h) override { return call([&] { return d_.Close(h); }); }

private:
    template <class F>
    FT_STATUS call(F f)
    {
        try {
            return f();
        } catch (const D2xxError& e) {
            failure = QString::fromStdString(e.what());
            throw;
        }
    }
    D2xx& d_;
};

QString defaultGraticules()
{
    // A relocated install keeps its layout: <prefix>/bin beside <prefix>/share.
    const QString relocated = QDir(QCoreApplication::applicationDirPath())
                                  .filePath(QStringLiteral("../" CORVA_DATADIR "/corvameter-remote/graticules"));
    if (QFileInfo(relocated).isDir())
        return QDir::cleanPath(relocated);
    return QStringLiteral(CORVA_GRATICULES);
}

// PNG or BMP by the name's extension; empty when neither.
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

// The whole file or none: written under a temporary name, renamed when complete.
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

// Whether a file can be made there, found out before the instrument is touched.
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

// The link's own failure messages, which replace the status box.
bool linkFailure(const QString& text)
{
    static const QStringList messages = {QStringLiteral("List Device Failed"), QStringLiteral("OpenEx Failed"),
                                         QStringLiteral("Write Failed"),
                                         QStringLiteral("Send_byte_to_USB: USB Close Failed")};
    return messages.contains(text);
}

struct Session {
    Session(D2xx& driver, const QString& graticules)
        : watch(driver), link(state, watch, host), screen(state, link, host, surface), log(state, link, host)
    {
        screen.graticuleDir = graticules;
    }

    // True when every text the status box got is one the exchange shows
    // when all goes well, and no message box came up.
    bool onlyShown(const QStringList& good) const
    {
        if (!host.boxes.isEmpty())
            return false;
        for (const QString& t : host.shown)
            if (!good.contains(t))
                return false;
        return true;
    }

    void reportDriverFailure() const
    {
        if (!watch.failure.isEmpty())
            err(watch.failure);
    }

    State state;
    ConsoleHost host;
    DriverWatch watch;
    Link link;
    Surface surface;
    ScreenCapture screen;
    ErrorLog log;
};

const QString kOneFrame = QStringLiteral("Downloaded 1 Frame") + kCrLf;
const QString kContinuous = QStringLiteral("Continuous Download:") + kCrLf + QStringLiteral("Press Stop to end");

int capture(Session& s, QString out, bool single)
{
    const bool named = !out.isEmpty();
    if (!named)
        out = QStringLiteral("corvameter-%1.png").arg(QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"));
    const QByteArray format = out == u"-" ? QByteArray("png") : formatFor(out);
    if (!writable(out))
        return kFailed;
    s.screen.cmdDownLoad_Click();
    // A fresh start has no levels yet: in a display with level bars, a second
    // frame brings the ones the instrument sent with the first.
    if (!single && s.state.DisplayMode > 10 && s.onlyShown({kOneFrame}))
        s.screen.cmdDownLoad_Click();
    if (!s.onlyShown({kOneFrame})) {
        s.reportDriverFailure();
        err(QStringLiteral("capture failed, no picture written"));
        return kFailed;
    }
    if (!writeAtomically(out, encode(s.surface.image(), format)))
        return kFailed;
    if (!named)   // the made-up name, for the script to pick up
        std::fputs(qPrintable(out + u'\n'), stdout);
    return kOk;
}

int watchFrames(Session& s, const QString& dir, const QByteArray& format, long count, bool single)
{
    if (!QDir().mkpath(dir)) {
        err(QStringLiteral("cannot make folder %1").arg(dir));
        return kFailed;
    }
    bool stopping = false;
    if (!catchStopSignals([&] {
            stopping = true;
            s.screen.cmdStop_Click();
        })) {
        err(QStringLiteral("cannot catch Ctrl-C"));
        return kFailed;
    }

    long written = 0;
    bool first = true, writeFailed = false;
    s.surface.onChanged = [&] {
        // The first frame's bars have no levels yet (see capture).
        const bool priming = first && !single && s.state.DisplayMode > 10;
        first = false;
        if (!priming && !writeFailed) {
            const QString path = QDir(dir).filePath(QStringLiteral("frame-%1.%2")
                                                        .arg(written + 1, 6, 10, QChar(u'0'))
                                                        .arg(QString::fromLatin1(format)));
            if (writeAtomically(path, encode(s.surface.image(), format))) {
                ++written;
                std::fputs(qPrintable(QDir::toNativeSeparators(path) + u'\n'), stdout);
                std::fflush(stdout);
            } else {
                writeFailed = true;
            }
        }
        if (stopping || writeFailed || (count > 0 && written >= count))
            s.screen.cmdStop_Click();
    };
    s.screen.cmdContinuous_Click();
    s.surface.onChanged = nullptr;
    if (writeFailed)
        return kFailed;
    if (!s.onlyShown({kContinuous})) {
        s.reportDriverFailure();
        err(QStringLiteral("continuous download failed after %1 frames").arg(written));
        return kFailed;
    }
    return kOk;
}

int getLog(Session& s, const QString& out)
{
    if (!writable(out))
        return kFailed;
    // The growing log is the result, not a status: keep it off standard error.
    s.host.echo = false;
    s.log.cmdGetLog_Click();
    const QString text = s.host.text1();
    const bool ok = !s.log.LogFailed && s.host.boxes.isEmpty() &&
                    text == s.state.StatusText + QStringLiteral("-------- End of Log --------") &&
                    std::none_of(s.host.shown.begin(), s.host.shown.end(), linkFailure);
    if (!ok) {
        s.reportDriverFailure();
        for (const QString& t : s.host.shown)
            if (linkFailure(t))
                err(t);
        err(QStringLiteral("log download failed: ") + QString(text).replace(kCrLf, QStringLiteral("; ")));
        return kFailed;
    }
    // Exactly the status box's text: the instrument's bytes, CR LF line ends.
    return writeAtomically(out, text.toLatin1()) ? kOk : kFailed;
}

int erase(Session& s, bool yes)
{
    if (!yes) {
        if (!isTerminal(stdin))
            return usage(QStringLiteral("erase: standard input is not a terminal; give --yes to erase without asking"));
        std::fputs("Erase the error log on the Corvameter? [y/N] ", stderr);
        std::string answer;
        std::getline(std::cin, answer);
        const QString a = QString::fromStdString(answer).trimmed().toLower();
        if (a != u"y" && a != u"yes") {
            err(QStringLiteral("log not erased"));
            return kFailed;
        }
    }
    s.log.cmdEraseLog_Click();
    const QString first = QStringLiteral("Connecting to Corvameter") + kCrLf;
    if (!s.onlyShown({first, first + QStringLiteral("Erase command sent") + kCrLf})) {
        s.reportDriverFailure();
        err(QStringLiteral("erase failed"));
        return kFailed;
    }
    return kOk;
}

int list(DynamicD2xx& driver)
{
    // The serial number of device 0, asked for as the open does it; nothing is opened.
    std::array<char, State::kSerialSize> serial{};
    FT_STATUS st;
    try {
        st = driver.ListDevices(reinterpret_cast<void*>(uintptr_t{0}), serial.data(),
                                FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
    } catch (const D2xxError& e) {
        err(QString::fromStdString(e.what()));
        return kFailed;
    }
    serial.back() = '\0';
    if (st == FT_OK)
        std::printf("instrument: %s\n", serial.data());
    std::printf("driver: %s\n", qPrintable(driver.libraryInUse()));
    if (st != FT_OK) {
        err(QStringLiteral("List Device Failed: no instrument found (status %1)").arg(st));
        return kFailed;
    }
    return kOk;
}

}   // namespace

int main(int argc, char** argv)
{
    // No window system: the display image is a QImage, waits run the core event loop.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvactl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVA_VERSION));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "The Brisko Corvameter from the command line.\n\n"
        "Commands:\n"
        "  capture [-o FILE]        one frame as \"1 Frame\" fetches it, written as PNG or BMP\n"
        "                           by FILE's extension; - writes PNG to standard output\n"
        "  watch DIR [--count N]    continuous download, frame-000001.png ... in DIR, until\n"
        "                           N frames are written or Ctrl-C\n"
        "  log [-o FILE]            the error log as \"Get Log\" shows it\n"
        "  erase [--yes]            erase the instrument's error log\n"
        "  list                     the instrument found and the driver library in use\n\n"
        "Exit status: 0 done, 1 the instrument, driver or output file failed, 2 usage error."));
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("capture, watch, log, erase or list"));
    const QCommandLineOption helpOpt = p.addHelpOption();
    const QCommandLineOption versionOpt = p.addVersionOption();
    const QCommandLineOption outOpt({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("capture, log: write to FILE (- for standard output)."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption countOpt(QStringLiteral("count"), QStringLiteral("watch: stop after N frames."),
                                      QStringLiteral("N"));
    const QCommandLineOption formatOpt(QStringLiteral("format"), QStringLiteral("watch: png (default) or bmp."),
                                       QStringLiteral("png|bmp"));
    const QCommandLineOption singleOpt(
        QStringLiteral("single"),
        QStringLiteral("capture, watch: no extra first frame for the level bars; they then stand at full height."));
    const QCommandLineOption yesOpt({QStringLiteral("y"), QStringLiteral("yes")},
                                    QStringLiteral("erase: do not ask for confirmation."));
    const QCommandLineOption graticulesOpt(
        QStringLiteral("graticules"),
        QStringLiteral("Folder of the graticule bitmaps (default: %1).").arg(defaultGraticules()),
        QStringLiteral("DIR"));
    const QCommandLineOption driverOpt(
        QStringLiteral("driver"),
        QStringLiteral("The driver library: vendor (FTDI's D2XX), libftdi (libftdi1), or auto, the default: "
                       "FTDI's when it can be loaded, else libftdi1."),
        QStringLiteral("auto|vendor|libftdi"));
    for (const auto& o : {outOpt, countOpt, formatOpt, singleOpt, yesOpt, graticulesOpt, driverOpt})
        p.addOption(o);

    if (!p.parse(app.arguments()))
        return usage(p.errorText());
    if (p.isSet(helpOpt)) {
        // Named as typed, not by the full path the program was started from.
        QString help = p.helpText();
        help.replace(QCoreApplication::arguments().constFirst(), QStringLiteral("corvactl"));
        std::fputs(qPrintable(help), stdout);
        return kOk;
    }
    if (p.isSet(versionOpt))
        p.showVersion();

    const QStringList args = p.positionalArguments();
    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString cmd = args.first();
    const qsizetype wantArgs = cmd == u"watch" ? 2 : 1;
    static const QStringList commands = {QStringLiteral("capture"), QStringLiteral("watch"), QStringLiteral("log"),
                                         QStringLiteral("erase"), QStringLiteral("list")};
    if (!commands.contains(cmd))
        return usage(QStringLiteral("unknown command '%1'").arg(cmd));
    if (args.size() != wantArgs)
        return usage(cmd == u"watch" ? QStringLiteral("watch needs one folder") : QStringLiteral("too many arguments"));

    // Options that mean nothing to the command are a mistake, not ignored.
    const QList<std::pair<QCommandLineOption, QStringList>> scope = {
        {outOpt, {QStringLiteral("capture"), QStringLiteral("log")}},
        {countOpt, {QStringLiteral("watch")}},
        {formatOpt, {QStringLiteral("watch")}},
        {singleOpt, {QStringLiteral("capture"), QStringLiteral("watch")}},
        {yesOpt, {QStringLiteral("erase")}},
        {graticulesOpt, {QStringLiteral("capture"), QStringLiteral("watch")}}};
    for (const auto& [opt, cmds] : scope)
        if (p.isSet(opt) && !cmds.contains(cmd))
            return usage(QStringLiteral("--%1 does not go with %2").arg(opt.names().last(), cmd));

    QString out = p.value(outOpt);
    if (cmd == u"capture" && !out.isEmpty() && out != u"-" && formatFor(out).isEmpty())
        return usage(QStringLiteral("%1: the name must end in .png or .bmp").arg(out));
    if (cmd == u"capture" && out == u"-" && isTerminal(stdout))
        return usage(QStringLiteral("not writing a picture to a terminal; redirect standard output"));
    if (cmd == u"log" && out.isEmpty())
        out = QStringLiteral("-");
    long count = 0;
    if (p.isSet(countOpt)) {
        bool ok = false;
        count = p.value(countOpt).toLong(&ok);
        if (!ok || count < 1)
            return usage(QStringLiteral("--count needs a whole number of frames, 1 or more"));
    }
    const QString format = p.isSet(formatOpt) ? p.value(formatOpt).toLower() : QStringLiteral("png");
    if (format != u"png" && format != u"bmp")
        return usage(QStringLiteral("--format is png or bmp"));
    const QString graticules = p.isSet(graticulesOpt) ? p.value(graticulesOpt) : defaultGraticules();
    if ((cmd == u"capture" || cmd == u"watch") && !QFileInfo(graticules).isDir())
        return usage(QStringLiteral("graticule folder %1 not found; give --graticules DIR").arg(graticules));

    DynamicD2xx driver;
    const QString which = p.isSet(driverOpt) ? p.value(driverOpt) : QStringLiteral("auto");
    if (which == u"vendor") {
        driver.choose(DynamicD2xx::Backend::Vendor);
    } else if (which == u"libftdi") {
        if (!driver.choose(DynamicD2xx::Backend::Libftdi))
            return usage(QStringLiteral("--driver libftdi: this corvactl is built without libftdi1"));
    } else if (which != u"auto") {
        return usage(QStringLiteral("--driver is auto, vendor or libftdi"));
    }
    if (cmd == u"list")
        return list(driver);
    Session s(driver, graticules);
    try {
        if (cmd == u"capture")
            return capture(s, out, p.isSet(singleOpt));
        if (cmd == u"watch")
            return watchFrames(s, args.at(1), format.toLatin1(), count, p.isSet(singleOpt));
        if (cmd == u"log")
            return getLog(s, out);
        return erase(s, p.isSet(yesOpt));
    } catch (const D2xxError& e) {
        // The window shows these in a "Run-time Error" box.
        err(QStringLiteral("run-time error %1: %2").arg(e.code()).arg(QString::fromStdString(e.what())));
    } catch (const std::exception& e) {
        err(QStringLiteral("run-time error: %1").arg(QString::fromStdString(e.what())));
    }
    return kFailed;
}
