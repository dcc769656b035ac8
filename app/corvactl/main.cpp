// corvactl: the Corvameter from a terminal or a script. It runs the same
// exchanges as the window program's buttons, through the same link, screen and
// log code, with the status box going to standard error instead.
#include "console.h"
#include "dynamic_d2xx.h"
#include "session.h"
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
#include <cstdio>
#include <functional>
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
// change of the box prints what it brought into view.
class ConsoleHost : public Host {
public:
    bool echo = true;

    void setText1(const QString& t) override { text_ = t; }
    QString text1() const override { return text_; }
    void showMessage(const QString& t, const QString& title, Icon) override { err(title + QStringLiteral(": ") + t); }
    void setBusyPointer(bool) override {}
    void beep() override {}

    void print(QString news) const
    {
        if (!echo)
            return;
        news.replace(kCrLf, QStringLiteral("\n"));
        if (news.endsWith(u'\n'))
            news.chop(1);
        if (!news.isEmpty())
            std::fputs(qPrintable(news + u'\n'), stderr);
    }

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

// The exchanges over the driver, with the status box on standard error.
struct Console {
    Console(D2xx& driver, const QString& graticules) : watch(driver), session(watch, host)
    {
        session.screen.graticuleDir = graticules;
        session.status.onNews = [this](const QString& news) { host.print(news); };
    }

    void reportDriverFailure() const
    {
        if (!watch.failure.isEmpty())
            err(watch.failure);
    }

    ConsoleHost host;
    DriverWatch watch;
    Session session;
};

int capture(Console& c, QString out, bool single)
{
    const bool named = !out.isEmpty();
    if (!named)
        out = QStringLiteral("corvameter-%1.png").arg(QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"));
    const QByteArray format = out == u"-" ? QByteArray("png") : formatFor(out);
    if (!writable(out))
        return kFailed;
    ScreenCapture& screen = c.session.screen;
    FrameOutcome frame = screen.cmdDownLoad_Click();
    // A fresh start has no levels yet: in a display with level bars, a second
    // frame brings the ones the instrument sent with the first.
    if (!single && screen.DisplayMode > 10 && frame.ok())
        frame = screen.cmdDownLoad_Click();
    if (!frame.ok()) {
        c.reportDriverFailure();
        err(QStringLiteral("capture failed, no picture written"));
        return kFailed;
    }
    if (!writeAtomically(out, encode(c.session.surface.image(), format)))
        return kFailed;
    if (!named)   // the made-up name, for the script to pick up
        std::fputs(qPrintable(out + u'\n'), stdout);
    return kOk;
}

int watchFrames(Console& c, const QString& dir, const QByteArray& format, long count, bool single)
{
    if (!QDir().mkpath(dir)) {
        err(QStringLiteral("cannot make folder %1").arg(dir));
        return kFailed;
    }
    ScreenCapture& screen = c.session.screen;
    Surface& surface = c.session.surface;
    bool stopping = false;
    if (!catchStopSignals([&] {
            stopping = true;
            screen.cmdStop_Click();
        })) {
        err(QStringLiteral("cannot catch Ctrl-C"));
        return kFailed;
    }

    long written = 0;
    bool first = true, writeFailed = false;
    surface.onChanged = [&] {
        // The first frame's bars have no levels yet (see capture).
        const bool priming = first && !single && screen.DisplayMode > 10;
        first = false;
        if (!priming && !writeFailed) {
            const QString path = QDir(dir).filePath(QStringLiteral("frame-%1.%2")
                                                        .arg(written + 1, 6, 10, QChar(u'0'))
                                                        .arg(QString::fromLatin1(format)));
            if (writeAtomically(path, encode(surface.image(), format))) {
                ++written;
                std::fputs(qPrintable(QDir::toNativeSeparators(path) + u'\n'), stdout);
                std::fflush(stdout);
            } else {
                writeFailed = true;
            }
        }
        if (stopping || writeFailed || (count > 0 && written >= count))
            screen.cmdStop_Click();
    };
    const ContinuousOutcome run = screen.cmdContinuous_Click();
    surface.onChanged = nullptr;
    if (writeFailed)
        return kFailed;
    if (!run.ok()) {
        c.reportDriverFailure();
        err(QStringLiteral("continuous download failed after %1 frames").arg(written));
        return kFailed;
    }
    return kOk;
}

int getLog(Console& c, const QString& out)
{
    if (!writable(out))
        return kFailed;
    // The growing log is the result, not a status: keep it off standard error.
    c.host.echo = false;
    const LogOutcome log = c.session.errorLog.cmdGetLog_Click();
    const QString text = c.session.status.shown();
    if (!log.ok()) {
        c.reportDriverFailure();
        for (const QString& t : c.session.link.reported)
            err(t);
        err(QStringLiteral("log download failed: ") + QString(text).replace(kCrLf, QStringLiteral("; ")));
        return kFailed;
    }
    // Exactly the status box's text: the instrument's bytes, CR LF line ends.
    return writeAtomically(out, text.toLatin1()) ? kOk : kFailed;
}

int erase(Console& c, bool yes)
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
    if (!c.session.errorLog.cmdEraseLog_Click().ok()) {
        c.reportDriverFailure();
        err(QStringLiteral("erase failed"));
        return kFailed;
    }
    return kOk;
}

int list(Link& link, const DynamicD2xx& driver)
{
    // Nothing is opened.
    Link::OpenResult found;
    try {
        found = link.listDevice();
    } catch (const D2xxError& e) {
        err(QString::fromStdString(e.what()));
        return kFailed;
    }
    if (found.status == FT_OK)
        std::printf("instrument: %s\n", found.serial.constData());
    std::printf("driver: %s\n", qPrintable(driver.libraryInUse()));
    if (found.status != FT_OK) {
        err(QStringLiteral("%1: no instrument found (status %2)").arg(found.message()).arg(found.status));
        return kFailed;
    }
    return kOk;
}

// Every option; which commands take which is told by the command table.
struct Options {
    QCommandLineOption out{{QStringLiteral("o"), QStringLiteral("output")},
                           QStringLiteral("capture, log: write to FILE (- for standard output)."), QStringLiteral("FILE")};
    QCommandLineOption count{QStringLiteral("count"), QStringLiteral("watch: stop after N frames."), QStringLiteral("N")};
    QCommandLineOption format{QStringLiteral("format"), QStringLiteral("watch: png (default) or bmp."),
                              QStringLiteral("png|bmp")};
    QCommandLineOption single{
        QStringLiteral("single"),
        QStringLiteral("capture, watch: no extra first frame for the level bars; they then stand at full height.")};
    QCommandLineOption yes{{QStringLiteral("y"), QStringLiteral("yes")}, QStringLiteral("erase: do not ask for confirmation.")};
    QCommandLineOption graticules{QStringLiteral("graticules"),
                                  QStringLiteral("Folder of the graticule bitmaps (default: %1).").arg(defaultGraticules()),
                                  QStringLiteral("DIR")};
    // Options every command takes.
    QCommandLineOption driver{QStringLiteral("driver"),
                              QStringLiteral("The driver library: vendor (FTDI's D2XX), libftdi (libftdi1), or auto, the "
                                             "default: FTDI's when it can be loaded, else libftdi1."),
                              QStringLiteral("auto|vendor|libftdi")};

    // In the order the help lists them and a misplaced one is reported.
    QList<const QCommandLineOption*> scoped() const { return {&out, &count, &format, &single, &yes, &graticules}; }
    QList<const QCommandLineOption*> global() const { return {&driver}; }
};

// One run's command line, read and checked.
struct Invocation {
    const QCommandLineParser& p;
    const Options& o;
    QStringList args;   // after the command's name
    QString out;
    long count = 0;
    QByteArray format = "png";
    QString graticules;
};

struct Command {
    QString name;
    int arguments;                                 // after the name
    QString wrongArguments;                        // the usage error when they are not
    QList<const QCommandLineOption*> options;      // beyond the global ones
    bool graticules;                               // draws frames: needs the graticule folder
    std::function<int(Invocation&)> check;         // its own options' values; kOk to go on
    std::function<int(Invocation&, DynamicD2xx&)> run;
};

// An exchange through a session of its own, whose run-time failures end it.
int inSession(DynamicD2xx& driver, const QString& graticules, const std::function<int(Console&)>& f)
{
    Console c(driver, graticules);
    try {
        return f(c);
    } catch (const D2xxError& e) {
        // The window shows these in a "Run-time Error" box.
        err(QStringLiteral("run-time error %1: %2").arg(e.code()).arg(QString::fromStdString(e.what())));
    } catch (const std::exception& e) {
        err(QStringLiteral("run-time error: %1").arg(QString::fromStdString(e.what())));
    }
    return kFailed;
}

QList<Command> commands(const Options& o)
{
    const QString tooMany = QStringLiteral("too many arguments");
    return {
        {QStringLiteral("capture"), 0, tooMany, {&o.out, &o.single, &o.graticules}, true,
         [](Invocation& v) {
             if (!v.out.isEmpty() && v.out != u"-" && formatFor(v.out).isEmpty())
                 return usage(QStringLiteral("%1: the name must end in .png or .bmp").arg(v.out));
             if (v.out == u"-" && isTerminal(stdout))
                 return usage(QStringLiteral("not writing a picture to a terminal; redirect standard output"));
             return int(kOk);
         },
         [](Invocation& v, DynamicD2xx& d) {
             const bool single = v.p.isSet(v.o.single);
             return inSession(d, v.graticules, [&](Console& c) { return capture(c, v.out, single); });
         }},
        {QStringLiteral("watch"), 1, QStringLiteral("watch needs one folder"),
         {&o.count, &o.format, &o.single, &o.graticules}, true,
         [](Invocation& v) {
             if (v.p.isSet(v.o.count)) {
                 bool ok = false;
                 v.count = v.p.value(v.o.count).toLong(&ok);
                 if (!ok || v.count < 1)
                     return usage(QStringLiteral("--count needs a whole number of frames, 1 or more"));
             }
             if (v.p.isSet(v.o.format))
                 v.format = v.p.value(v.o.format).toLower().toLatin1();
             if (v.format != "png" && v.format != "bmp")
                 return usage(QStringLiteral("--format is png or bmp"));
             return int(kOk);
         },
         [](Invocation& v, DynamicD2xx& d) {
             const bool single = v.p.isSet(v.o.single);
             return inSession(d, v.graticules,
                              [&](Console& c) { return watchFrames(c, v.args.at(0), v.format, v.count, single); });
         }},
        {QStringLiteral("log"), 0, tooMany, {&o.out}, false,
         [](Invocation& v) {
             if (v.out.isEmpty())
                 v.out = QStringLiteral("-");
             return int(kOk);
         },
         [](Invocation& v, DynamicD2xx& d) {
             return inSession(d, v.graticules, [&](Console& c) { return getLog(c, v.out); });
         }},
        {QStringLiteral("erase"), 0, tooMany, {&o.yes}, false, nullptr,
         [](Invocation& v, DynamicD2xx& d) {
             const bool yes = v.p.isSet(v.o.yes);
             return inSession(d, v.graticules, [&](Console& c) { return erase(c, yes); });
         }},
        {QStringLiteral("list"), 0, tooMany, {}, false, nullptr, [](Invocation& v, DynamicD2xx& d) {
             return inSession(d, v.graticules, [&](Console& c) { return list(c.session.link, d); });
         }},
    };
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
    const Options o;
    for (const auto* opt : o.scoped() + o.global())
        p.addOption(*opt);

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
    const QList<Command> table = commands(o);
    const auto cmd = std::find_if(table.begin(), table.end(), [&](const Command& c) { return c.name == args.first(); });
    if (cmd == table.end())
        return usage(QStringLiteral("unknown command '%1'").arg(args.first()));
    if (args.size() != cmd->arguments + 1)
        return usage(cmd->wrongArguments);

    // Options that mean nothing to the command are a mistake, not ignored.
    for (const QCommandLineOption* opt : o.scoped())
        if (p.isSet(*opt) && !cmd->options.contains(opt))
            return usage(QStringLiteral("--%1 does not go with %2").arg(opt->names().last(), cmd->name));

    Invocation v{p, o, args.mid(1), p.value(o.out)};
    if (cmd->check)
        if (const int code = cmd->check(v); code != kOk)
            return code;
    v.graticules = p.isSet(o.graticules) ? p.value(o.graticules) : defaultGraticules();
    if (cmd->graticules && !QFileInfo(v.graticules).isDir())
        return usage(QStringLiteral("graticule folder %1 not found; give --graticules DIR").arg(v.graticules));

    DynamicD2xx driver;
    const QString which = p.isSet(o.driver) ? p.value(o.driver) : QStringLiteral("auto");
    if (which == u"vendor") {
        driver.choose(DynamicD2xx::Backend::Vendor);
    } else if (which == u"libftdi") {
        if (!driver.choose(DynamicD2xx::Backend::Libftdi))
            return usage(QStringLiteral("--driver libftdi: this corvactl is built without libftdi1"));
    } else if (which != u"auto") {
        return usage(QStringLiteral("--driver is auto, vendor or libftdi"));
    }
    return cmd->run(v, driver);
}
