#include "server.h"
#include "alarm_desk.h"
#include "tokens.h"
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>
#include <cstdio>

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponder::StatusCode;

enum class Route { Page, Script, Style, Icon, State, FramePng, FrameBmp, Metrics, Alarms, Frame, Continuous, Stop, Log, Erase };

struct RouteEntry {
    const char* path;
    Method method;
    Server::Role role;
    Route route;
};

// Everything served: the page compiled in, the API, the metrics.
constexpr RouteEntry kRoutes[] = {
    {"/", Method::Get, Server::Role::None, Route::Page},
    {"/page.js", Method::Get, Server::Role::None, Route::Script},
    {"/page.css", Method::Get, Server::Role::None, Route::Style},
    {"/icon.svg", Method::Get, Server::Role::None, Route::Icon},
    {"/api/v1/status", Method::Get, Server::Role::View, Route::State},
    {"/api/v1/frame.png", Method::Get, Server::Role::View, Route::FramePng},
    {"/api/v1/frame.bmp", Method::Get, Server::Role::View, Route::FrameBmp},
    {"/metrics", Method::Get, Server::Role::View, Route::Metrics},
    {"/api/v1/alarms", Method::Get, Server::Role::View, Route::Alarms},
    {"/api/v1/frame", Method::Post, Server::Role::Control, Route::Frame},
    {"/api/v1/continuous", Method::Post, Server::Role::Control, Route::Continuous},
    {"/api/v1/stop", Method::Post, Server::Role::Control, Route::Stop},
    {"/api/v1/log", Method::Get, Server::Role::Control, Route::Log},
    {"/api/v1/log/erase", Method::Post, Server::Role::Control, Route::Erase},
};
constexpr const char* kLive = "/api/v1/live";

QByteArray compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray resource(const char* name)
{
    QFile f(QStringLiteral(":/serve/") + QLatin1String(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray bearer(const QHttpServerRequest& request)
{
    const QByteArray v = request.value("Authorization").trimmed();
    return v.left(7).toLower() == "bearer " ? v.mid(7).trimmed() : QByteArray();
}

// One answer, with the headers every answer carries.
void reply(QHttpServerResponder& r, int status, const QByteArray& type, const QByteArray& body,
           const QList<QPair<QByteArray, QByteArray>>& extra = {})
{
    r.writeStatusLine(Status(status));
    r.writeHeader("Content-Type", type);
    r.writeHeader("Content-Length", QByteArray::number(body.size()));
    r.writeHeader("X-Content-Type-Options", "nosniff");
    r.writeHeader("Referrer-Policy", "no-referrer");
    r.writeHeader("X-Frame-Options", "DENY");
    bool csp = false, cache = false;
    for (const auto& [k, v] : extra) {
        r.writeHeader(k, v);
        csp = csp || k == "Content-Security-Policy";
        cache = cache || k == "Cache-Control";
    }
    if (!csp)
        r.writeHeader("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'");
    if (!cache)
        r.writeHeader("Cache-Control", "no-store");
    r.writeBody(body);
}

void replyJson(QHttpServerResponder& r, int status, const QJsonObject& o,
               const QList<QPair<QByteArray, QByteArray>>& extra = {})
{
    reply(r, status, "application/json", compact(o), extra);
}

void replyError(QHttpServerResponder& r, int status, const QString& why,
                const QList<QPair<QByteArray, QByteArray>>& extra = {})
{
    replyJson(r, status, QJsonObject{{"error", why}}, extra);
}

QString hostText(const QHostAddress& a)
{
    return a.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(a.toString()) : a.toString();
}

}   // namespace

struct Server::Viewer {
    QPointer<QWebSocket> ws;
    Role role = Role::View;
    bool framePending = false, statePending = false;
    QElapsedTimer backedUp;   // since when its socket has not drained
};

Server::Server(Station& station, gate::Door& door, ServeOptions options, QObject* parent)
    : QAbstractHttpServer(parent), station_(station), door_(door), options_(std::move(options))
{
    // The Host values a browser sends for our addresses: a page elsewhere
    // that renamed itself to one of them through DNS sends its own name.
    for (const auto& [address, port] : door_.addresses()) {
        QList<QHostAddress> names{address};
        if (address == QHostAddress::Any || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6)
            names = QNetworkInterface::allAddresses();
        QStringList texts;
        for (const QHostAddress& a : names) {
            texts << hostText(a);
            if (a.isLoopback())
                texts << QStringLiteral("localhost");
        }
        for (const QString& n : options_.allowHosts)
            texts << n.toLower();
        for (const QString& t : texts) {
            hosts_ << QStringLiteral("%1:%2").arg(t).arg(port);
            if (port == (options_.tls ? 443 : 80))
                hosts_ << t;
        }
    }
    // Names given for a proxy in front come without a port.
    for (const QString& n : options_.allowHosts)
        hosts_ << n.toLower();
    hosts_.removeDuplicates();

    door_.server = this;
    door_.judge = [this](const gate::Head& h) { return judge(h); };
    for (QTcpServer* l : door_.listeners())
        bind(l);

    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &Server::acceptViewers);
    connect(&station_, &Station::frame, this, &Server::broadcastFrame);
    stateSoon_.setSingleShot(true);
    stateSoon_.setInterval(50);   // a burst of changes goes out as one message
    connect(&stateSoon_, &QTimer::timeout, this, &Server::broadcastState);
    connect(&station_, &Station::changed, this, [this] {
        stale();
        if (!stateSoon_.isActive())
            stateSoon_.start();
    });
    sweeper_.setInterval(1000);
    connect(&sweeper_, &QTimer::timeout, this, &Server::sweep);
    sweeper_.start();
}

Server::~Server()
{
    for (auto& v : viewers_)
        if (v->ws)
            v->ws->abort();
}

Server::Role Server::roleOf(const QByteArray& token) const
{
    // Both compared every time, so the time taken does not tell which matched.
    const bool control = tokens::same(token, options_.controlToken);
    const bool view = !options_.viewToken.isEmpty() && tokens::same(token, options_.viewToken);
    return control ? Role::Control : view ? Role::View : Role::None;
}

bool Server::hostAllowed(const QByteArray& host) const
{
    return hosts_.contains(QString::fromLatin1(host).toLower());
}

std::optional<gate::Refusal> Server::judge(const gate::Head& head) const
{
    if (!hostAllowed(head.value("host")))
        return gate::Refusal{403, "the Host header names no address of this server; name it with --allow-host"};
    if (!head.upgrade())
        return std::nullopt;
    const QUrl url(QString::fromLatin1(head.target));
    if (url.path() != QLatin1String(kLive))
        return gate::Refusal{404, "WebSockets are served at /api/v1/live only"};
    if (head.method != "GET")
        return gate::Refusal{405, "a WebSocket opens with GET"};
    if (roleOf(QUrlQuery(url).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toLatin1()) == Role::None)
        return gate::Refusal{401, "a token is needed: /api/v1/live?token=TOKEN"};
    // A browser names the page that opens the socket; only ours may.
    const QByteArray origin = head.value("origin");
    if (!origin.isEmpty()
        && origin.toLower() != (options_.tls ? "https://" : "http://") + head.value("host").toLower())
        return gate::Refusal{403, "WebSockets are only for this server's own page"};
    return std::nullopt;
}

bool Server::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QString path = request.url().path();
    // The WebSocket server answers an upgrade the door let through.
    if (path == QLatin1String(kLive) && request.value("Upgrade").toLower() == "websocket")
        return true;
    QHttpServerResponder r = makeResponder(request, socket);
    const RouteEntry* route = nullptr;
    QByteArray allow;
    for (const RouteEntry& e : kRoutes) {
        if (path != QLatin1String(e.path))
            continue;
        allow = e.method == Method::Get ? "GET" : "POST";
        if (request.method() == e.method)
            route = &e;
    }
    if (!route && path == QLatin1String(kLive)) {
        replyError(r, 400, QStringLiteral("this address takes a WebSocket"));
        return true;
    }
    if (!route) {
        if (allow.isEmpty())
            replyError(r, 404, QStringLiteral("nothing here"));
        else
            replyError(r, 405, QStringLiteral("this address takes %1").arg(QString::fromLatin1(allow)), {{"Allow", allow}});
        return true;
    }
    const Role role = route->role == Role::None ? Role::None : roleOf(bearer(request));
    if (route->role != Role::None && role == Role::None) {
        replyError(r, 401, QStringLiteral("a token is needed: Authorization: Bearer TOKEN"),
                   {{"WWW-Authenticate", "Bearer"}});
        return true;
    }
    if (route->role == Role::Control && role != Role::Control) {
        replyError(r, 403, QStringLiteral("this token may watch but not press buttons"));
        return true;
    }

    const QByteArray host = request.value("Host");
    switch (route->route) {
    case Route::Page:
        reply(r, 200, "text/html; charset=utf-8", resource("index.html"),
              {{"Cache-Control", "no-cache"},
               {"Content-Security-Policy",
                "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; connect-src 'self' ws://"
                    + host + " wss://" + host + "; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"}});
        return true;
    case Route::Script:
        reply(r, 200, "text/javascript; charset=utf-8", resource("page.js"), {{"Cache-Control", "no-cache"}});
        return true;
    case Route::Style:
        reply(r, 200, "text/css; charset=utf-8", resource("page.css"), {{"Cache-Control", "no-cache"}});
        return true;
    case Route::Icon:
        reply(r, 200, "image/svg+xml", resource("icon.svg"), {{"Cache-Control", "no-cache"}});
        return true;
    case Route::State:
        replyJson(r, 200, stateFor(role));
        return true;
    case Route::Metrics:
        reply(r, 200, "text/plain; version=0.0.4; charset=utf-8",
              station_.metrics(viewerCount()) + (alarms_ ? alarms_->metrics() : QByteArray()));
        return true;
    case Route::Alarms:
        replyJson(r, 200, alarms_ ? alarms_->json() : QJsonObject{});
        return true;
    case Route::FramePng:
    case Route::FrameBmp: {
        if (station_.latestPng().isEmpty()) {
            replyError(r, 404, QStringLiteral("no picture yet"));
            return true;
        }
        const bool png = route->route == Route::FramePng;
        QString name = station_.pictureName();
        if (!png)
            name.replace(name.size() - 3, 3, QStringLiteral("bmp"));
        reply(r, 200, png ? "image/png" : "image/bmp", png ? station_.latestPng() : encode(station_.latestImage(), "bmp"),
              {{"Content-Disposition", "attachment; filename=\"" + name.toLatin1() + '"'},
               {"Last-Modified", station_.latestTime().toUTC().toString(Qt::RFC2822Date).toLatin1()}});
        return true;
    }
    default:
        break;
    }

    // A button: the answer waits for its exchange.
    const Station::Button button = route->route == Route::Frame        ? Station::Button::Frame
                                   : route->route == Route::Continuous ? Station::Button::Continuous
                                   : route->route == Route::Stop       ? Station::Button::Stop
                                   : route->route == Route::Log        ? Station::Button::GetLog
                                                                       : Station::Button::EraseLog;
    auto waiting = std::make_shared<QHttpServerResponder>(std::move(r));
    QPointer<QTcpSocket> s(socket);
    gate::Door::setWaiting(socket, true);
    station_.press(button, [this, waiting, s, button](const Station::Answer& a) {
        if (!s || s->state() != QAbstractSocket::ConnectedState)
            return;   // the asker went away; the exchange ran all the same
        gate::Door::setWaiting(s, false);
        if (a.status != 200) {
            replyJson(*waiting, a.status, a.json);
        } else if (button == Station::Button::Frame) {
            reply(*waiting, 200, "image/png", station_.latestPng());
        } else if (button == Station::Button::GetLog) {
            // The instrument's bytes as the status box shows them, CR LF and all.
            reply(*waiting, 200, "text/plain; charset=iso-8859-1", a.logText.toLatin1());
        } else {
            QJsonObject o = a.json;
            o.insert("viewers", viewerCount());
            replyJson(*waiting, a.status, o);
        }
    });
    return true;
}

void Server::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    QHttpServerResponder r = makeResponder(request, socket);
    replyError(r, 404, QStringLiteral("nothing here"));
}

void Server::setAlarms(AlarmDesk* desk)
{
    alarms_ = desk;
    connect(desk, &AlarmDesk::changed, this, [this] {
        stale();
        if (!stateSoon_.isActive())
            stateSoon_.start();
    });
}

void Server::stale()
{
    stateText_[0].clear();
    stateText_[1].clear();
}

const QString& Server::stateText(Role role)
{
    QString& t = stateText_[role == Role::Control ? 1 : 0];
    if (t.isEmpty())
        t = QString::fromUtf8(compact(stateFor(role)));
    return t;
}

QJsonObject Server::stateFor(Role role) const
{
    QJsonObject o = station_.state();
    o.insert("type", QStringLiteral("state"));
    o.insert("viewers", viewerCount());
    o.insert("canControl", role == Role::Control);
    if (alarms_)
        o.insert("alarms", alarms_->json());
    return o;
}

void Server::acceptViewers()
{
    while (hasPendingWebSocketConnections()) {
        QWebSocket* ws = nextPendingWebSocketConnection().release();
        if (!ws)
            break;
        ws->setParent(this);
        const Role role = roleOf(QUrlQuery(ws->requestUrl()).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toLatin1());
        if (role == Role::None) {   // the door lets none such through
            ws->abort();
            ws->deleteLater();
            continue;
        }
        // Viewers only listen.
        ws->setMaxAllowedIncomingFrameSize(1024);
        ws->setMaxAllowedIncomingMessageSize(1024);
        auto v = std::make_unique<Viewer>();
        v->ws = ws;
        v->role = role;
        v->statePending = true;
        v->framePending = !station_.latestPng().isEmpty();
        connect(ws, &QWebSocket::disconnected, this, [this, ws] { drop(ws); });
        Viewer& ref = *v;
        connect(ws, &QWebSocket::bytesWritten, this, [this, &ref] {
            if (ref.ws && ref.ws->bytesToWrite() == 0)
                send(ref);
        });
        viewers_.push_back(std::move(v));
        std::fprintf(stderr, "corvactl: viewer from %s (%d watching)\n", qPrintable(ws->peerAddress().toString()),
                     viewerCount());
        stale();
        send(ref);
        broadcastState();
    }
}

void Server::send(Viewer& v)
{
    if (!v.ws)
        return;
    // The socket still holds what went before: this viewer gets the newest
    // when it has taken that, never a queue.
    if (v.ws->bytesToWrite() > 0) {
        if (!v.backedUp.isValid())
            v.backedUp.start();
        return;
    }
    v.backedUp.invalidate();
    if (v.statePending) {
        v.statePending = false;
        v.ws->sendTextMessage(stateText(v.role));
    }
    if (v.framePending) {
        v.framePending = false;
        v.ws->sendBinaryMessage(station_.latestPng());
    }
}

void Server::broadcastFrame(const QByteArray&)
{
    // What the frame changed (attached, the count) goes ahead of it, in the
    // same turn.
    const bool state = stateSoon_.isActive();
    stateSoon_.stop();
    for (auto& v : viewers_) {
        v->statePending = v->statePending || state;
        v->framePending = true;
        send(*v);
    }
}

void Server::broadcastState()
{
    stateSoon_.stop();
    for (auto& v : viewers_) {
        v->statePending = true;
        send(*v);
    }
}

void Server::drop(QWebSocket* ws)
{
    const auto it = std::find_if(viewers_.begin(), viewers_.end(), [ws](const auto& v) { return v->ws == ws; });
    if (it == viewers_.end())
        return;
    if (ws) {
        ws->disconnect(this);   // its last signals find no viewer
        ws->deleteLater();
    }
    viewers_.erase(it);
    stale();
    std::fprintf(stderr, "corvactl: viewer left (%d watching)\n", viewerCount());
    if (!stateSoon_.isActive())
        stateSoon_.start();
}

void Server::sweep()
{
    QList<QWebSocket*> stalled;
    for (auto& v : viewers_)
        if (!v->ws || (v->backedUp.isValid() && v->backedUp.elapsed() > options_.stallMs))
            stalled << v->ws.data();
    for (QWebSocket* ws : stalled) {
        if (ws)
            ws->abort();
        drop(ws);
    }
}
