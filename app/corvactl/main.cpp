// corvactl: the Corvameter from a terminal or a script. It runs the same
// exchanges as the window program's buttons, through the same link, screen and
// log code, with the status box going to standard error instead.
#include "console.h"
#include "diagnosis.h"
#include "exchange.h"
#include "series.h"
#include "watch.h"
#ifdef CORVA_HAVE_SERVE
#include "serve.h"
#endif
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

namespace {

int usage(const QString& why)
{
    err(why);
    std::fputs("Try 'corvactl --help' for more information.\n", stderr);
    return kUsage;
}

QString defaultGraticules()
{
    // A relocated install keeps its layout: <prefix>/bin beside <prefix>/share.
    const QString relocated = QDir(QCoreApplication::applicationDirPath())
                                  .filePath(QStringLiteral("../" CORVA_DATADIR "/corvameter-remote/graticules"));
    if (QFileInfo(relocated).isDir())
        return QDir::cleanPath(relocated);
    return QStringLiteral(CORVA_GRATICULES);
}

int capture(Console& c, QString out, bool single)
{
    const bool named = !out.isEmpty();
    // The made-up name carries the serial number, known once the device is
    // open: the folder is tried under the name without it.
    if (!writable(named ? out : series::captureName({}, QDateTime::currentDateTime())))
        return kFailed;
    const QByteArray format = named && out != u"-" ? formatFor(out) : QByteArray("png");
    const FrameOutcome frame = c.picture(single);
    const QDateTime taken = QDateTime::currentDateTime();
    if (!frame.ok()) {
        c.reportFailure(QStringLiteral("capture"), frame);
        err(QStringLiteral("no picture written"));
        return kFailed;
    }
    if (!named)
        out = series::captureName(QString::fromLatin1(frame.open.serial), taken);
    if (!writeAtomically(out, encode(c.session.surface.image(), format)))
        return kFailed;
    if (!named)   // the made-up name, for the script to pick up
        std::fputs(qPrintable(out + u'\n'), stdout);
    return kOk;
}

int getLog(Console& c, const QString& out)
{
    if (!writable(out))
        return kFailed;
    // The growing log is the result, not a status: keep it off standard error.
    const bool verbose = std::exchange(c.host.echo, false);
    const LogOutcome log = c.session.errorLog.cmdGetLog_Click();
    const QString text = c.session.status.shown();
    if (!log.ok()) {
        if (verbose)
            err(QStringLiteral("the status box: ") + QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("; ")));
        c.reportFailure(QStringLiteral("log download"), log);
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
    const LogOutcome erased = c.session.errorLog.cmdEraseLog_Click();
    if (!erased.ok()) {
        c.reportFailure(QStringLiteral("erase"), erased);
        return kFailed;
    }
    return kOk;
}

// One FTDI device as list shows it: what the system tells (Linux), what
// the driver library lists, and whether the program would use it.
struct Listed {
    QString serial;
    const diagnosis::FtdiDevice* system = nullptr;
    bool byDriver = false;
    bool used = false;

    QString line() const
    {
        QStringList parts;
        const diagnosis::FtdiDevice* d = system;
        QString head = serial.isEmpty() ? QStringLiteral("(no serial number)") : serial;
        if (d) {
            if (!d->description.isEmpty())
                head += QStringLiteral(" \"%1\"").arg(d->description);
            head += QStringLiteral(" at %1 (0403:%2)").arg(d->busPath).arg(d->product, 4, 16, QChar(u'0'));
            parts << head;
            parts << (d->kernelDriver.isEmpty() ? QStringLiteral("no kernel driver")
                                                : QStringLiteral("%1 bound%2").arg(d->kernelDriver,
                                                      d->tty.isEmpty() ? QString() : QStringLiteral(" as ") + d->tty));
            QStringList holders;
            for (const diagnosis::Holder& h : d->holders)
                holders << QStringLiteral("%1 (pid %2) on %3").arg(h.name).arg(h.pid).arg(h.path);
            parts << (holders.isEmpty() ? QStringLiteral("free") : QStringLiteral("held by ") + holders.join(u", "));
            parts << (d->mayOpen ? QStringLiteral("you may open it")
                                 : QStringLiteral("you may not open %1 (%2:%3 %4)")
                                       .arg(d->node, d->owner, d->group)
                                       .arg(d->mode, 4, 8, QChar(u'0')));
        } else {
            parts << head;
        }
        if (!byDriver)
            parts << QStringLiteral("not listed by the driver library");
        if (used)
            parts << QStringLiteral("used by corvactl and the window");
        return QStringLiteral("device: ") + parts.join(QStringLiteral(", "));
    }

    QJsonObject json() const
    {
        QJsonObject o{{"serial", serial}, {"listedByDriver", byDriver}, {"used", used}};
        if (const diagnosis::FtdiDevice* d = system) {
            QJsonArray holders;
            for (const diagnosis::Holder& h : d->holders)
                holders.append(QJsonObject{{"pid", qint64(h.pid)}, {"name", h.name}, {"path", h.path}});
            o.insert("description", d->description);
            o.insert("busPath", d->busPath);
            o.insert("product", QStringLiteral("%1").arg(d->product, 4, 16, QChar(u'0')));
            o.insert("node", d->node);
            o.insert("kernelDriver", d->kernelDriver.isEmpty() ? QJsonValue() : QJsonValue(d->kernelDriver));
            o.insert("tty", d->tty.isEmpty() ? QJsonValue() : QJsonValue(d->tty));
            o.insert("heldBy", holders);
            o.insert("mayOpen", d->mayOpen);
        }
        return o;
    }
};

int list(Console& c, bool json)
{
    // Nothing is opened, and no kernel driver is detached.
    Link& link = c.session.link;
    Link::OpenResult found;
    QList<QByteArray> serials;
    try {
        found = link.listDevice();
        if (found.outcome != Link::OpenOutcome::ListFailed)
            serials = link.attachedSerials();
    } catch (const D2xxError& e) {
        err(QString::fromStdString(e.what()));
        return kFailed;
    }
    const QList<diagnosis::FtdiDevice> system = diagnosis::ftdiDevices();
    const QString used = QString::fromLatin1(found.serial);
    QList<Listed> devices;
    for (const diagnosis::FtdiDevice& d : system)
        devices.append({d.serial, &d, serials.contains(d.serial.toLatin1()), false});
    for (const QByteArray& s : serials)
        if (!diagnosis::bySerial(system, QString::fromLatin1(s)))
            devices.append({QString::fromLatin1(s), nullptr, true, false});
    const bool attached = !used.isEmpty() && serials.contains(found.serial);
    for (Listed& d : devices)
        d.used = attached && d.serial == used;

    const QString library = c.driver.libraryInUse();
    if (json) {
        QJsonArray all;
        for (const Listed& d : devices)
            all.append(d.json());
        const QJsonObject o{{"instrument", attached ? QJsonValue(used) : QJsonValue()},
                            {"driver", library},
                            {"devices", all}};
        std::fputs(QJsonDocument(o).toJson().constData(), stdout);
    } else {
        if (attached)
            std::printf("instrument: %s\n", qPrintable(used));
        std::printf("driver: %s\n", qPrintable(library));
        for (const Listed& d : devices)
            std::printf("%s\n", qPrintable(d.line()));
    }
    if (!attached) {
        if (found.outcome == Link::OpenOutcome::ListFailed)
            err(QStringLiteral("%1: no instrument found (status %2)").arg(found.message()).arg(found.status));
        if (const QString why = c.cause({Link::OpenOutcome::ListFailed, found.status, found.serial}); !why.isEmpty())
            err(why);
        return kFailed;
    }
    return kOk;
}

// Every option; which commands take which is told by the command table.
struct Options {
    QCommandLineOption out{{QStringLiteral("o"), QStringLiteral("output")},
                           QStringLiteral("capture, log: write to FILE (- for standard output)."), QStringLiteral("FILE")};
    QCommandLineOption count{QStringLiteral("count"), QStringLiteral("watch: stop after N frames."), QStringLiteral("N")};
    QCommandLineOption interval{QStringLiteral("interval"),
                                QStringLiteral("watch: one frame every SECONDS (fractions allowed), on a schedule that "
                                               "does not drift; without it, frames as fast as the link allows."),
                                QStringLiteral("SECONDS")};
    QCommandLineOption duration{QStringLiteral("duration"), QStringLiteral("watch: stop after SECONDS."),
                                QStringLiteral("SECONDS")};
    QCommandLineOption reconnect{QStringLiteral("reconnect"),
                                 QStringLiteral("watch: when the instrument is unplugged, wait up to SECONDS (default "
                                                "%1) for it to come back, and go on.").arg(kReconnectDefault),
                                 QStringLiteral("SECONDS")};
    QCommandLineOption format{QStringLiteral("format"), QStringLiteral("watch: png (default) or bmp."),
                              QStringLiteral("png|bmp")};
    QCommandLineOption single{
        QStringLiteral("single"),
        QStringLiteral("capture, watch: no extra first frame for the level bars; they then stand at full height.")};
    QCommandLineOption json{QStringLiteral("json"), QStringLiteral("list: the same as JSON, for scripts.")};
    QCommandLineOption yes{{QStringLiteral("y"), QStringLiteral("yes")}, QStringLiteral("erase: do not ask for confirmation.")};
    QCommandLineOption graticules{QStringLiteral("graticules"),
                                  QStringLiteral("Folder of the graticule bitmaps (default: %1).").arg(defaultGraticules()),
                                  QStringLiteral("DIR")};
    QCommandLineOption listen{QStringLiteral("listen"),
                              QStringLiteral("serve: listen on ADDRESS:PORT (repeatable; default 127.0.0.1:8460)."),
                              QStringLiteral("ADDRESS:PORT")};
    QCommandLineOption tokenFile{QStringLiteral("token-file"),
                                 QStringLiteral("serve: the token that may press buttons, made there on first start "
                                                "(default: serve-token in corvactl's configuration folder)."),
                                 QStringLiteral("FILE")};
    QCommandLineOption viewTokenFile{QStringLiteral("view-token-file"),
                                     QStringLiteral("serve: a second token, made there on first start, that may watch "
                                                    "but not press buttons."),
                                     QStringLiteral("FILE")};
    QCommandLineOption allowHost{QStringLiteral("allow-host"),
                                 QStringLiteral("serve: a name browsers reach this server by, besides its addresses "
                                                "(repeatable)."),
                                 QStringLiteral("NAME")};
    QCommandLineOption tlsCert{QStringLiteral("tls-cert"), QStringLiteral("serve: HTTPS with this PEM certificate (chain)."),
                               QStringLiteral("FILE")};
    QCommandLineOption tlsKey{QStringLiteral("tls-key"), QStringLiteral("serve: ... and this PEM private key."),
                              QStringLiteral("FILE")};
    QCommandLineOption maxConnections{QStringLiteral("max-connections"),
                                      QStringLiteral("serve: connections open at once, viewers included (default 128)."),
                                      QStringLiteral("N")};
    QCommandLineOption continuous{QStringLiteral("continuous"),
                                  QStringLiteral("serve: start a continuous download at once.")};
    QCommandLineOption open{QStringLiteral("open"),
                            QStringLiteral("serve: once listening, open the page in the default browser.")};
    QCommandLineOption alarm{QStringLiteral("alarm"),
                             QStringLiteral("serve: an alarm's set and clear times in seconds, or off (repeatable; "
                                            "instrument_lost, no_picture, audio_silence, audio_over)."),
                             QStringLiteral("NAME:SET:CLEAR|NAME:off")};
    QCommandLineOption silenceHeight{QStringLiteral("silence-height"),
                                     QStringLiteral("serve: a level bar at most ROWS high is silent (default 2)."),
                                     QStringLiteral("ROWS")};
    QCommandLineOption overHeight{QStringLiteral("over-height"),
                                  QStringLiteral("serve: a level bar at least ROWS high is over (default 190, the top "
                                                 "of the audio scales)."),
                                  QStringLiteral("ROWS")};
    QCommandLineOption logEvery{QStringLiteral("log-every"),
                                QStringLiteral("serve: read the instrument's error log every MINUTES, between frames."),
                                QStringLiteral("MINUTES")};
    QCommandLineOption snmpAgentx{QStringLiteral("snmp-agentx"),
                                  QStringLiteral("serve: serve the alarms and the instrument over SNMP as an AgentX "
                                                 "subagent of the master agent at SOCKET (snmpd)."),
                                  QStringLiteral("SOCKET")};
    // Options every command takes.
    QCommandLineOption driver{QStringLiteral("driver"),
                              QStringLiteral("The driver library: vendor (FTDI's D2XX), libftdi (libftdi1), or auto, the "
                                             "default: FTDI's when it can be loaded, else libftdi1, which also takes over "
                                             "where the kernel's ftdi_sio keeps FTDI's library from the instrument."),
                              QStringLiteral("auto|vendor|libftdi")};
    QCommandLineOption serial{QStringLiteral("serial"),
                              QStringLiteral("The instrument with this serial number (see list), when several FTDI "
                                             "devices are attached; default: the first free one."),
                              QStringLiteral("SERIAL")};

    static constexpr int kReconnectDefault = 600;

    // In the order the help lists them and a misplaced one is reported.
    QList<const QCommandLineOption*> scoped() const
    {
        return {&out,       &count,     &interval,      &duration,  &reconnect, &format,  &single,
                &json,      &yes,       &graticules,    &listen,    &tokenFile, &viewTokenFile,
                &allowHost, &tlsCert,   &tlsKey,        &maxConnections, &continuous, &open,
                &alarm,     &silenceHeight, &overHeight, &logEvery, &snmpAgentx};
    }
    QCommandLineOption verbose{{QStringLiteral("v"), QStringLiteral("verbose")},
                               QStringLiteral("Show the status box's messages as the window shows them; without it, "
                                              "only what failed and why.")};
    QList<const QCommandLineOption*> global() const { return {&driver, &serial, &verbose}; }
};

// One run's command line, read and checked.
struct Invocation {
    const QCommandLineParser& p;
    const Options& o;
    QStringList args;   // after the command's name
    QString out;
    QByteArray serial;
    QString graticules;
    WatchPlan watch;
#ifdef CORVA_HAVE_SERVE
    ServePlan serve;
#endif
};

struct Command {
    QString name;
    int arguments;                                 // after the name
    QString wrongArguments;                        // the usage error when they are not
    QList<const QCommandLineOption*> options;      // beyond the global ones
    bool graticules;                               // draws frames: needs the graticule folder
    std::function<int(Invocation&)> check;         // its own options' values; kOk to go on
    std::function<int(Console&, const Invocation&)> run;
};

// An exchange through a session of its own, whose run-time failures end it.
int inSession(DynamicD2xx& driver, const Invocation& v, const Command& cmd)
{
    Console c(driver, v.graticules, v.serial);
    c.host.echo = v.p.isSet(v.o.verbose);
    try {
        return cmd.run(c, v);
    } catch (const D2xxError& e) {
        // The window shows these in a "Run-time Error" box.
        err(QStringLiteral("run-time error %1: %2").arg(e.code()).arg(QString::fromStdString(e.what())));
    } catch (const std::exception& e) {
        err(QStringLiteral("run-time error: %1").arg(QString::fromStdString(e.what())));
    }
    return kFailed;
}

// A number of seconds, more than zero (or zero where `zeroOk`); unset and
// a usage error when it is not.
std::optional<double> seconds(const Invocation& v, const QCommandLineOption& opt, bool zeroOk, int& code)
{
    if (!v.p.isSet(opt))
        return std::nullopt;
    bool ok = false;
    const double s = v.p.value(opt).toDouble(&ok);
    if (!ok || !std::isfinite(s) || s < 0 || (s == 0 && !zeroOk)) {
        code = usage(QStringLiteral("--%1 needs a number of seconds%2")
                         .arg(opt.names().last(), zeroOk ? QString() : QStringLiteral(", more than 0")));
        return std::nullopt;
    }
    return s;
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
         [](Console& c, const Invocation& v) { return capture(c, v.out, v.p.isSet(v.o.single)); }},
        {QStringLiteral("watch"), 1, QStringLiteral("watch needs one folder"),
         {&o.count, &o.interval, &o.duration, &o.reconnect, &o.format, &o.single, &o.graticules}, true,
         [](Invocation& v) {
             WatchPlan& w = v.watch;
             w.dir = v.args.at(0);
             w.single = v.p.isSet(v.o.single);
             if (v.p.isSet(v.o.count)) {
                 bool ok = false;
                 w.count = v.p.value(v.o.count).toLong(&ok);
                 if (!ok || w.count < 1)
                     return usage(QStringLiteral("--count needs a whole number of frames, 1 or more"));
             }
             if (v.p.isSet(v.o.format))
                 w.format = v.p.value(v.o.format).toLower().toLatin1();
             if (w.format != "png" && w.format != "bmp")
                 return usage(QStringLiteral("--format is png or bmp"));
             int code = kOk;
             w.interval = seconds(v, v.o.interval, false, code);
             w.duration = seconds(v, v.o.duration, false, code);
             w.reconnect = seconds(v, v.o.reconnect, true, code);
             return code;
         },
         [](Console& c, const Invocation& v) { return watch(c, v.watch); }},
        {QStringLiteral("log"), 0, tooMany, {&o.out}, false,
         [](Invocation& v) {
             if (v.out.isEmpty())
                 v.out = QStringLiteral("-");
             return int(kOk);
         },
         [](Console& c, const Invocation& v) { return getLog(c, v.out); }},
        {QStringLiteral("erase"), 0, tooMany, {&o.yes}, false, nullptr,
         [](Console& c, const Invocation& v) { return erase(c, v.p.isSet(v.o.yes)); }},
        {QStringLiteral("list"), 0, tooMany, {&o.json}, false, nullptr,
         [](Console& c, const Invocation& v) { return list(c, v.p.isSet(v.o.json)); }},
#ifdef CORVA_HAVE_SERVE
        {QStringLiteral("serve"), 0, tooMany,
         {&o.listen, &o.tokenFile, &o.viewTokenFile, &o.allowHost, &o.tlsCert, &o.tlsKey, &o.maxConnections,
          &o.continuous, &o.open, &o.graticules, &o.alarm, &o.silenceHeight, &o.overHeight, &o.logEvery,
          &o.snmpAgentx},
         true,
         [](Invocation& v) {
             ServePlan& s = v.serve;
             s.listen = v.p.values(v.o.listen);
             if (s.listen.isEmpty())
                 s.listen << QString::fromLatin1(kServeDefaultListen);
             for (const QString& l : s.listen) {
                 QHostAddress a;
                 quint16 port = 0;
                 if (!parseListen(l, a, port))
                     return usage(QStringLiteral("--listen %1: give ADDRESS:PORT, such as 127.0.0.1:%2 or [::1]:%2")
                                      .arg(l).arg(kServePort));
             }
             s.tokenFile = v.p.value(v.o.tokenFile);
             s.viewTokenFile = v.p.value(v.o.viewTokenFile);
             s.allowHosts = v.p.values(v.o.allowHost);
             s.tlsCert = v.p.value(v.o.tlsCert);
             s.tlsKey = v.p.value(v.o.tlsKey);
             if (s.tlsCert.isEmpty() != s.tlsKey.isEmpty())
                 return usage(QStringLiteral("--tls-cert and --tls-key go together"));
             if (v.p.isSet(v.o.maxConnections)) {
                 bool ok = false;
                 s.maxConnections = v.p.value(v.o.maxConnections).toInt(&ok);
                 if (!ok || s.maxConnections < 2 || s.maxConnections > 10000)
                     return usage(QStringLiteral("--max-connections needs a number from 2 to 10000"));
             }
             s.continuous = v.p.isSet(v.o.continuous);
             s.open = v.p.isSet(v.o.open);
             alarms::Settings& a = s.alarms.settings;
             for (const QString& given : v.p.values(v.o.alarm))
                 if (const QString why = a.apply(given); !why.isEmpty())
                     return usage(why);
             for (auto [opt, rows] : {std::pair{&v.o.silenceHeight, &a.silenceHeight}, {&v.o.overHeight, &a.overHeight}}) {
                 bool ok = true;
                 if (v.p.isSet(*opt))
                     *rows = v.p.value(*opt).toInt(&ok);
                 if (!ok)
                     return usage(QStringLiteral("--%1 needs a number of rows").arg(opt->names().last()));
             }
             if (const QString why = a.checkHeights(); !why.isEmpty())
                 return usage(why);
             if (v.p.isSet(v.o.logEvery)) {
                 bool ok = false;
                 s.alarms.logEveryMinutes = v.p.value(v.o.logEvery).toDouble(&ok);
                 if (!ok || !(s.alarms.logEveryMinutes >= 0.01 && s.alarms.logEveryMinutes <= 1440))
                     return usage(QStringLiteral("--log-every needs a number of minutes from 0.01 to 1440"));
             }
             s.snmpAgentx = v.p.value(v.o.snmpAgentx);
             return int(kOk);
         },
         [](Console& c, const Invocation& v) { return serve(c, v.serve); }},
#endif
    };
}

// --reconnect's number may be left out: the default goes in, so that the
// parser does not take the next argument for it.
QStringList withReconnectDefault(QStringList args)
{
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] != u"--reconnect")
            continue;
        bool number = false;
        if (i + 1 < args.size())
            args[i + 1].toDouble(&number);
        if (!number)
            args[i] = QStringLiteral("--reconnect=%1").arg(Options::kReconnectDefault);
    }
    return args;
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
        "                           by FILE's extension (default corvameter-SERIAL-TIME.png);\n"
        "                           - writes PNG to standard output\n"
        "  watch DIR [--count N]    continuous download, frame-000001.png ... in DIR, until\n"
        "                           N frames are written or Ctrl-C; DIR/index.csv lists\n"
        "                           each file with its time, serial number and display mode\n"
        "  watch DIR --interval S   one frame every S seconds; with --duration S, --count N\n"
        "                           as ends, --reconnect [S] to wait through an unplug\n"
        "  log [-o FILE]            the error log as \"Get Log\" shows it\n"
        "  erase [--yes]            erase the instrument's error log\n"
        "  list [--json]            the FTDI devices attached, the one used, the driver library\n"
        "  serve [--listen A:P]     the live screen, the buttons, a JSON API and metrics for\n"
        "                           browsers and scripts holding the token (default\n"
        "                           127.0.0.1:8460), until Ctrl-C\n\n"
        "Exit status: 0 done (watch: ended by count, duration or Ctrl-C), 1 the instrument,\n"
        "driver or output file failed, 2 usage error."));
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("capture, watch, log, erase, list or serve"));
    const QCommandLineOption helpOpt = p.addHelpOption();
    // --version alone: -v is --verbose.
    const QCommandLineOption versionOpt(QStringLiteral("version"), QStringLiteral("Displays version information."));
    p.addOption(versionOpt);
    const Options o;
    for (const auto* opt : o.scoped() + o.global())
        p.addOption(*opt);

    if (!p.parse(withReconnectDefault(app.arguments())))
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

    Invocation v{p, o, args.mid(1), p.value(o.out), p.value(o.serial).toLatin1()};
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
    return inSession(driver, v, *cmd);
}
