// corvactl serve as a separate process on the drop-in simulator library,
// spoken to over loopback: hostile requests as raw bytes, a flood of
// connections, a viewer that stops reading, the API, the token files, the
// end on SIGTERM, an unplug in the middle of a continuous download and the
// page opened in the browser. Under Wine too, but for what is POSIX's and
// what Wine cannot do.
#include "screen_expect.h"
#include "simulator.h"
#include <QImage>
#include <QtNetwork>
#include <QtTest>
#include <QWebSocket>
#include <memory>

namespace {

struct Answer {
    int status = 0;      // 0: no whole answer came
    QByteArray head;     // in lower case
    QByteArray body;
};

// Asks the socket itself what has come: under Wine the notification of one
// among many can go missing.
void poll(QTcpSocket& s)
{
    if (s.state() == QAbstractSocket::ConnectedState && !s.bytesAvailable())
        s.waitForReadyRead(0);
}

// One request on a connection of its own, as raw bytes: no client library
// tidies it up on the way.
Answer exchange(quint16 port, const QByteArray& request, int timeoutMs = 5000)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    s.write(request);
    QByteArray got;
    static const QRegularExpression length("\r\ncontent-length: *(\\d+)");
    for (QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired();) {
        QTest::qWait(2);   // the viewer is served meanwhile
        poll(s);
        got += s.readAll();
        const qsizetype end = got.indexOf("\r\n\r\n");
        const bool over = s.state() == QAbstractSocket::UnconnectedState;
        if (end < 0 && over)
            break;
        if (end < 0)
            continue;
        const QByteArray head = got.left(end).toLower();
        const QRegularExpressionMatch m = length.match(QString::fromLatin1(head));
        if ((m.hasMatch() && got.size() >= end + 4 + m.captured(1).toLongLong()) || over)
            return {got.startsWith("HTTP/1.1 ") ? got.mid(9, 3).toInt() : -1, head, got.mid(end + 4)};
    }
    return {};
}

// Wine's ntdll has this; Windows' does not.
bool underWine()
{
#ifdef Q_OS_WIN
    return QLibrary::resolve("ntdll", "wine_get_version");
#else
    return false;
#endif
}

QJsonObject json(const Answer& a)
{
    return QJsonDocument::fromJson(a.body).object();
}

const QByteArray kUpgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

// A page's view of the live picture.
struct Viewer {
    QWebSocket ws;
    int frames = 0;
    QByteArray png;
    QElapsedTimer sinceFrame;
    QJsonObject state;
    QString events;   // in order: F a picture, A / D a state attached or not

    Viewer(quint16 port, const QByteArray& token)
    {
        QObject::connect(&ws, &QWebSocket::binaryMessageReceived, &ws, [this](const QByteArray& m) {
            ++frames;
            png = m;
            sinceFrame.start();
            events += u'F';
        });
        QObject::connect(&ws, &QWebSocket::textMessageReceived, &ws, [this](const QString& m) {
            state = QJsonDocument::fromJson(m.toUtf8()).object();
            events += state["attached"].toBool() ? u'A' : u'D';
        });
        ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/live?token=%2").arg(port).arg(QLatin1String(token))));
    }
};

// A server process, killed when it goes out of scope.
struct Served {
    std::unique_ptr<QProcess> p = std::make_unique<QProcess>();
    quint16 port = 0;    // 0: it did not come up
    QByteArray token;
    QString dir;
    Served() = default;
    Served(Served&&) = default;
    Served& operator=(Served&&) = default;
    ~Served()
    {
        if (p && p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
    QByteArray host() const { return "127.0.0.1:" + QByteArray::number(port); }
    QByteArray trace() const
    {
        QFile f(dir + "/trace");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

}   // namespace

class TestServe : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    Served main_;
    QByteArray view_;
    std::unique_ptr<Viewer> viewer_;

    // In a folder of its own, which holds the trace and, unless given, the
    // token; `path`, when given, is the whole PATH it finds programs on.
    Served start(const QString& name, const QStringList& extra, const QString& faults = {}, QString tokenFile = {},
                 const QString& path = {})
    {
        Served s;
        s.dir = tmp.filePath(name);
        QDir().mkpath(s.dir);
        if (tokenFile.isEmpty())
            tokenFile = s.dir + "/token";
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
#ifdef Q_OS_WIN
        e.insert("PATH", QDir::toNativeSeparators(QDir(SIM_LIB_DIR).canonicalPath()) + ';' + e.value("PATH"));
#else
        e.insert("LD_LIBRARY_PATH", SIM_LIB_DIR);
        if (!path.isEmpty())
            e.insert("PATH", path);
#endif
        e.insert("CORVASIM_MODES", "1");
        e.insert("CORVASIM_FAULTS", faults);
        e.insert("CORVASIM_TRACE", s.dir + "/trace");
        s.p->setProcessEnvironment(e);
        s.p->start(CORVACTL, QStringList{"serve", "--listen", "127.0.0.1:0", "--token-file", tokenFile, "--graticules",
                                         CORVA_GRATICULE_DIR} + extra);
        for (QDeadlineTimer d(10000); !s.p->canReadLine() && !d.hasExpired() && s.p->state() != QProcess::NotRunning;)
            s.p->waitForReadyRead(100);
        static const QRegularExpression url("^https?://127\\.0\\.0\\.1:(\\d+)/#token=(\\w+)\r?\n$");   // CR LF on Windows
        const QRegularExpressionMatch m = url.match(QString::fromLatin1(s.p->readLine()));
        if (m.hasMatch()) {
            s.port = quint16(m.captured(1).toUInt());
            s.token = m.captured(2).toLatin1();
        }
        return s;
    }

    Answer call(const Served& s, const QByteArray& method, const QByteArray& path)
    {
        return exchange(s.port, method + ' ' + path + " HTTP/1.1\r\nHost: " + s.host() + "\r\nAuthorization: Bearer "
                                    + s.token + "\r\nContent-Length: 0\r\n\r\n", 15000);
    }

    // The placeholders of a request filled in for the main server.
    QByteArray fill(QByteArray r) const
    {
        QByteArray sameLength = main_.token;
        sameLength.back() = sameLength.back() == '0' ? '1' : '0';
        return r.replace("{T=}", sameLength)
            .replace("{T-}", main_.token.chopped(1))
            .replace("{T+}", main_.token + '0')
            .replace("{T}", main_.token)
            .replace("{V}", view_)
            .replace("{H}", main_.host())
            .replace("{P}", QByteArray::number(main_.port));
    }

private slots:
    void initTestCase()
    {
        // The expected pictures load the graticules by name.
        QVERIFY(QDir::setCurrent(CORVA_GRATICULE_DIR));
        main_ = start("main", {"--continuous", "--max-connections", "12", "--view-token-file", tmp.filePath("view")});
        QVERIFY2(main_.port, main_.p->readAllStandardError().constData());
        QFile v(tmp.filePath("view"));
        QVERIFY(v.open(QIODevice::ReadOnly));
        view_ = v.readAll().trimmed();
        viewer_ = std::make_unique<Viewer>(main_.port, view_);
        QTRY_VERIFY_WITH_TIMEOUT(viewer_->frames > 0, 10000);
        QCOMPARE(QImage::fromData(viewer_->png, "PNG").size(), QSize(320, 240));
    }

    void hostile_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArrayList>("has");   // in the answer, lower case
        const QByteArray host = "Host: {H}\r\n", ctl = host + "Authorization: Bearer {T}\r\n",
                         view = host + "Authorization: Bearer {V}\r\n", none = "Content-Length: 0\r\n";
        const auto row = [](const char* tag, const QByteArray& line, const QByteArray& headers, int status,
                            const QByteArrayList& has = {}) {
            QTest::newRow(tag) << line + " HTTP/1.1\r\n" + headers + "\r\n" << status << has;
        };
        row("good answer", "GET /api/v1/status", ctl, 200,
            {"\r\ncache-control: no-store", "\r\ncontent-security-policy: ", "frame-ancestors 'none'"});
        row("view token watches", "GET /api/v1/status", view, 200);
        row("no token", "GET /api/v1/status", host, 401, {"\r\nwww-authenticate: bearer"});
        row("wrong token, same length", "GET /api/v1/status", host + "Authorization: Bearer {T=}\r\n", 401);
        row("wrong token, shorter", "GET /api/v1/status", host + "Authorization: Bearer {T-}\r\n", 401);
        row("wrong token, longer", "GET /metrics", host + "Authorization: Bearer {T+}\r\n", 401);
        row("view token erases", "POST /api/v1/log/erase", view + none, 403);
        row("view token gets the log", "GET /api/v1/log", view, 403);
        row("foreign Host", "GET /api/v1/status", "Host: evil.example:{P}\r\nAuthorization: Bearer {T}\r\n", 403);
        row("no Host", "GET /api/v1/status", "Authorization: Bearer {T}\r\n", 403);
        row("foreign Origin", "GET /api/v1/live?token={T}", host + kUpgrade + "Origin: http://evil.example\r\n", 403);
        row("null Origin", "GET /api/v1/live?token={T}", host + kUpgrade + "Origin: null\r\n", 403);
        row("upgrade without token", "GET /api/v1/live", host + kUpgrade, 401);
        row("upgrade elsewhere", "GET /api/v1/status?token={T}", ctl + kUpgrade, 404);
        row("oversize header", "GET /api/v1/status", ctl + "X-Pad: " + QByteArray(9000, 'a') + "\r\n", 431);
        row("oversize address", "GET /api/v1/status?" + QByteArray(3000, 'a'), ctl, 414);
        row("oversize body", "POST /api/v1/log/erase", ctl + "Content-Length: 100000\r\n", 413);
        row("chunked", "POST /api/v1/log/erase", ctl + "Transfer-Encoding: chunked\r\n\r\n0\r\n", 411);
        row("dot segments", "POST /api/v1/../api/v1/log/erase", view + none, 404);
        row("encoded dot segments", "POST /api/v1/%2e%2e/api/v1/log/erase", view + none, 404);
        row("double slash", "POST //api/v1/log/erase", view + none, 404);
        row("inner double slash", "POST /api/v1//log/erase", view + none, 404);
        row("NUL", "GET /api/v1/status%00", ctl, 404);
        row("NUL before erase", "POST /api/v1/log/erase%00", view + none, 404);
        row("GET a button", "GET /api/v1/frame", ctl, 405, {"\r\nallow: post"});
        row("DELETE", "DELETE /api/v1/status", ctl, 405, {"\r\nallow: get"});
        row("OPTIONS from elsewhere", "OPTIONS /api/v1/status",
            ctl + "Origin: http://evil.example\r\nAccess-Control-Request-Method: POST\r\n", 405);
        row("unknown path", "GET /api/v1/nothing", ctl, 404);
        row("a frame while continuous runs", "POST /api/v1/frame", ctl + none, 409, {"\"reason\":"});
    }
    // Each turned away with its status, while the pictures keep coming and
    // nothing runs that should not.
    void hostile()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QByteArrayList, has);
        const int before = viewer_->frames;
        const Answer a = exchange(main_.port, fill(request));
        QVERIFY2(a.status == status, (a.head + a.body).constData());
        const QByteArray all = a.head + "\r\n\r\n" + a.body.toLower();
        for (const QByteArray& h : has)
            QVERIFY2(all.contains(h), a.head.constData());
        QVERIFY2(a.head.contains("\r\ncache-control: no-store"), a.head.constData());
        QVERIFY2(!a.head.contains("\r\naccess-control-"), a.head.constData());
        QTRY_VERIFY_WITH_TIMEOUT(viewer_->frames > before, 3000);
        const QByteArray calls = main_.trace();
        QVERIFY(!calls.contains("Write F8 F0") && !calls.contains("Write FC F0"));
    }

    void flood()
    {
        const int admitted = 12 - 1, beyond = 4;   // the viewer holds one
        std::vector<std::unique_ptr<QTcpSocket>> open;
        for (int i = 0; i < admitted + beyond; ++i) {
            open.push_back(std::make_unique<QTcpSocket>());
            open.back()->connectToHost(QHostAddress::LocalHost, main_.port);
        }
        const auto refused = [&] {
            return int(std::count_if(open.begin(), open.end(), [](const auto& s) { return poll(*s), s->peek(12) == "HTTP/1.1 503"; }));
        };
        QTRY_COMPARE_WITH_TIMEOUT(refused(), beyond, 5000);
        const int before = viewer_->frames;
        QCOMPARE(exchange(main_.port, fill("GET /api/v1/status HTTP/1.1\r\nHost: {H}\r\n\r\n")).status, 503);
        QTRY_VERIFY_WITH_TIMEOUT(viewer_->frames > before + 2, 3000);
        QCOMPARE(refused(), beyond);
        open.clear();
        const QByteArray status = fill("GET /api/v1/status HTTP/1.1\r\nHost: {H}\r\nAuthorization: Bearer {V}\r\n\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(exchange(main_.port, status).status, 200, 3000);
    }

    // A viewer that never reads is dropped once its socket has been full for
    // the stall bound; the others are served on meanwhile.
    void stalledViewer()
    {
        if (underWine())
            QSKIP("under Wine the small socket buffers asked for do not take: nothing backs up within the bound");
        QTcpSocket s;
        // Small buffers on this side (the kernel's, set before connecting,
        // and Qt's), so the server's side fills soon.
        QVERIFY(s.bind(QHostAddress::LocalHost));
        s.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        s.setReadBufferSize(512);
        s.connectToHost(QHostAddress::LocalHost, main_.port);
        QVERIFY(s.waitForConnected(3000));
        s.write(fill("GET /api/v1/live?token={V} HTTP/1.1\r\nHost: {H}\r\n" + kUpgrade + "\r\n"));
        QTRY_COMPARE(s.peek(12), QByteArray("HTTP/1.1 101"));
        QTRY_COMPARE(viewer_->state["viewers"].toInt(), 2);
        QElapsedTimer took;
        took.start();
        qint64 worstGap = 0;
        while (viewer_->state["viewers"].toInt() != 1 && took.elapsed() < 16000) {
            QTest::qWait(50);
            worstGap = std::max(worstGap, viewer_->sinceFrame.elapsed());
        }
        qInfo("dropped after %lld ms; the good viewer waited %lld ms at most", took.elapsed(), worstGap);
        QCOMPARE(viewer_->state["viewers"].toInt(), 1);
        QVERIFY(worstGap < 2000);
        // Once it reads, it finds the end behind what was queued.
        s.setReadBufferSize(0);
        QTRY_VERIFY_WITH_TIMEOUT((s.readAll(), s.state() == QAbstractSocket::UnconnectedState), 5000);
    }

    // On a server of its own that nothing else presses.
    void api()
    {
        Served s = start("idle", {});
        QVERIFY(s.port);
        QCOMPARE(call(s, "GET", "/api/v1/frame.png").status, 404);
        const Answer frame = call(s, "POST", "/api/v1/frame");
        QCOMPARE(frame.status, 200);
        QVERIFY(frame.head.contains("\r\ncontent-type: image/png"));
        const QImage picture = QImage::fromData(frame.body, "PNG").convertToFormat(QImage::Format_RGB32);
        // The simulator's first frame, decoded here from its wire format.
        SimConfig cfg;
        cfg.modes.push_back(1);
        const uint8_t mode = Simulator::modeByteFor(cfg, 0);
        QList<QByteArray> blocks;
        for (int b = 0; b < 5; ++b)
            blocks << Simulator::screenBlock(0, b, mode);
        expect::Model want;
        want.frame(mode, blocks);
        COMPARE_IMAGES(picture, want.display);
        const Answer png = call(s, "GET", "/api/v1/frame.png"), bmp = call(s, "GET", "/api/v1/frame.bmp");
        QCOMPARE(png.status, 200);
        QCOMPARE(png.body, frame.body);
        QCOMPARE(bmp.status, 200);
        QCOMPARE(QImage::fromData(bmp.body, "BMP").convertToFormat(QImage::Format_RGB32), picture);

        const Answer log = call(s, "GET", "/api/v1/log");
        QCOMPARE(log.status, 200);
        QVERIFY(log.head.contains("\r\ncontent-type: text/plain"));
        QVERIFY2(log.body.trimmed().endsWith("-------- End of Log --------"), log.body.constData());
        QVERIFY(log.body.count('\n') > 2);
        QCOMPARE(log.body.count('\n'), log.body.count("\r\n"));
        QCOMPARE(call(s, "POST", "/api/v1/log/erase").status, 200);
        // What the main server's trace is searched for does show there.
        QVERIFY(s.trace().contains("Write F8 F0") && s.trace().contains("Write FC F0"));

        // A viewer gets the download's pictures until "Stop".
        Viewer v(s.port, s.token);
        QTRY_VERIFY_WITH_TIMEOUT(!v.state.isEmpty() && v.frames > 0, 10000);   // the latest picture first
        const int before = v.frames;
        QCOMPARE(call(s, "POST", "/api/v1/continuous").status, 202);
        QTRY_VERIFY_WITH_TIMEOUT(json(call(s, "GET", "/api/v1/status"))["continuous"].toBool(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(v.frames >= before + 3, 20000);
        QCOMPARE(QImage::fromData(v.png, "PNG").size(), QSize(320, 240));
        QCOMPARE(call(s, "POST", "/api/v1/stop").status, 200);
        QCOMPARE(json(call(s, "GET", "/api/v1/status"))["continuous"], QJsonValue(false));
    }

#ifndef Q_OS_WIN
    // --open hands the printed address to xdg-open; without one the server
    // warns once and serves on.
    void openInBrowser_data()
    {
        QTest::addColumn<bool>("browser");
        QTest::newRow("opened") << true;
        QTest::newRow("no xdg-open") << false;
    }
    void openInBrowser()
    {
        QFETCH(bool, browser);
        const QString bin = tmp.filePath(QStringLiteral("bin-%1").arg(browser)), opened = bin + "/opened";
        QVERIFY(QDir().mkpath(bin));
        if (browser) {
            QFile xdgOpen(bin + "/xdg-open");
            QVERIFY(xdgOpen.open(QIODevice::WriteOnly));
            xdgOpen.write("#!/bin/sh\nprintf '%s\\n' \"$*\" > '" + opened.toUtf8() + "'\n");
            xdgOpen.close();
            QVERIFY(xdgOpen.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        Served s = start(QStringLiteral("open-%1").arg(browser), {"--open"}, {}, {}, bin);
        QVERIFY(s.port);
        QByteArray err;
        if (browser) {
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(opened).size() > 0, 10000);
            QFile f(opened);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), "http://" + s.host() + "/#token=" + s.token + '\n');
        } else {
            QTRY_VERIFY_WITH_TIMEOUT((err += s.p->readAllStandardError()).contains("--open"), 10000);
        }
        QCOMPARE(call(s, "GET", "/api/v1/status").status, 200);
        QCOMPARE(s.p->state(), QProcess::Running);
        err += s.p->readAllStandardError();
        QVERIFY2(err.count("--open") == (browser ? 0 : 1), err.constData());
        QVERIFY2(browser || err.contains("warning: --open: cannot start the browser"), err.constData());
    }
#endif

    void failingExchange()
    {
        Served s = start("nodevice", {}, "nodevice");
        QVERIFY(s.port);
        const Answer a = call(s, "POST", "/api/v1/frame");
        QCOMPARE(a.status, 503);
        QVERIFY(a.head.contains("\r\ncontent-type: application/json"));
        const QJsonObject o = json(a);
        QVERIFY2(o["failed"].toArray().contains(QJsonValue("open")), a.body.constData());
        QVERIFY(!o["cause"].toString().isEmpty() && !o["fix"].toString().isEmpty());
    }

    // With a certificate the same answers come over TLS only.
    void https()
    {
        if (underWine())
            QSKIP("Wine's Schannel fails the server's side of the handshake (GnuTLS: Decryption has failed)");
        Served s = start("tls", {"--tls-cert", TLS_DIR "/tls-cert.pem", "--tls-key", TLS_DIR "/tls-key.pem"});
        QVERIFY2(s.port, s.p->readAllStandardError().constData());
        QSslSocket tls;
        const QList<QSslCertificate> ours = QSslCertificate::fromPath(TLS_DIR "/tls-cert.pem");
        QSslConfiguration conf = tls.sslConfiguration();
        conf.setCaCertificates(ours);
        tls.setSslConfiguration(conf);
        tls.connectToHostEncrypted("127.0.0.1", s.port);
        QVERIFY2(tls.waitForEncrypted(5000), qPrintable(tls.errorString()));
        tls.write("GET /api/v1/status HTTP/1.1\r\nHost: " + s.host() + "\r\nAuthorization: Bearer " + s.token + "\r\n\r\n");
        QByteArray got;
        for (QDeadlineTimer d(5000); !got.contains("}") && !d.hasExpired();)
            if (tls.waitForReadyRead(100))
                got += tls.readAll();
        QVERIFY2(got.startsWith("HTTP/1.1 200"), got.constData());
        QVERIFY(got.contains("\"attached\":true"));
        QCOMPARE(call(s, "GET", "/api/v1/status").status, 0);   // plain HTTP gets nothing
    }

    void tokenFile()
    {
        QFile f(main_.dir + "/token");
#ifndef Q_OS_WIN
        const QFileDevice::Permissions user = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
        QCOMPARE(f.permissions() & ~user, QFile::ReadOwner | QFile::WriteOwner);
#endif
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), main_.token + '\n');
        QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(QString::fromLatin1(main_.token)).hasMatch());
        const Served again = start("again", {}, {}, f.fileName());
        QCOMPARE(again.token, main_.token);
    }

    void startRefused_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("asViewToken");   // the same file given for both
        QTest::addColumn<QString>("says");
        const QByteArray token = "0123456789abcdef0123456789abcdef\n";
        const int own = QFile::ReadOwner | QFile::WriteOwner, readable = own | QFile::ReadGroup | QFile::ReadOther;
#ifndef Q_OS_WIN
        QTest::newRow("readable by others") << token << readable << false << "chmod 600 PATH";
#endif
        QTest::newRow("not a token") << QByteArray("secret\n") << own << false << "does not hold a token";
        QTest::newRow("view token is the control token") << token << own << true << "a file of its own";
    }
    void startRefused()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(bool, asViewToken);
        QFETCH(QString, says);
        const QString path = tmp.filePath(QStringLiteral("refused-%1").arg(QTest::currentDataTag()));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
        f.close();
        QVERIFY(f.setPermissions(QFileDevice::Permissions(mode)));
        Served s = start(path.section('/', -1) + ".d", asViewToken ? QStringList{"--view-token-file", path} : QStringList{},
                         {}, path);
        QCOMPARE(s.port, 0);
        QVERIFY(s.p->state() == QProcess::NotRunning || s.p->waitForFinished(5000));
        const QByteArray err = s.p->readAllStandardError();
        QCOMPARE(s.p->exitCode(), 1);
        QVERIFY2(err.contains(says.replace("PATH", path).toUtf8()), err.constData());
    }

    // Lost in the third frame and back a second later: the download goes on
    // by itself.
    void unplugAndBack()
    {
        Served s = start("unplug", {"--continuous"}, "unplug-after=100000,replug-after=1000");
        QVERIFY(s.port);
        Viewer v(s.port, s.token);
        static const QRegularExpression lostAndBack("F.*D.*A.*F");
        QTRY_VERIFY2_WITH_TIMEOUT(lostAndBack.match(v.events).hasMatch(), qPrintable(v.events), 10000);
        QVERIFY(s.trace().contains("Unplugged"));
    }

    // Last: ends the main server.
    void terminateReleasesTheDevice()
    {
#ifdef Q_OS_WIN
        QSKIP("SIGTERM is POSIX's");
#endif
        const int before = viewer_->frames;
        QTRY_VERIFY(viewer_->frames > before);   // in the middle of the download
        main_.p->terminate();
        QVERIFY(main_.p->waitForFinished(5000));
        QCOMPARE(main_.p->exitStatus(), QProcess::NormalExit);
        QCOMPARE(main_.p->exitCode(), 0);
        const QList<QByteArray> calls = main_.trace().trimmed().split('\n');
        QCOMPARE(calls.last(), QByteArray("Close"));
        QCOMPARE(calls.count("Close"), 1);   // held from the start of the download to the end
    }

    void cleanupTestCase()
    {
        viewer_.reset();
        main_ = {};   // killed
    }
};

QTEST_GUILESS_MAIN(TestServe)
#include "tst_serve.moc"
