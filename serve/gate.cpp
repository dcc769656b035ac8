#include "gate.h"
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#if QT_CONFIG(ssl)
#include <QSslServer>
#endif

namespace gate {

QByteArray Head::value(const QByteArray& lowerName) const
{
    for (const auto& [name, v] : headers)
        if (name == lowerName)
            return v;
    return {};
}

bool Head::upgrade() const
{
    return value("upgrade").toLower() == "websocket";
}

QByteArray refusalBytes(const Refusal& r)
{
    static const QHash<int, QByteArray> phrases{
        {400, "Bad Request"}, {401, "Unauthorized"}, {403, "Forbidden"}, {404, "Not Found"},
        {405, "Method Not Allowed"}, {408, "Request Timeout"}, {411, "Length Required"},
        {413, "Content Too Large"}, {414, "URI Too Long"}, {431, "Request Header Fields Too Large"},
        {503, "Service Unavailable"}};
    const QByteArray body = QJsonDocument(QJsonObject{{"error", QString::fromUtf8(r.reason)}}).toJson(QJsonDocument::Compact);
    QByteArray out = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + phrases.value(r.status, "Error") + "\r\n";
    out += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n";
    if (r.status == 401)
        out += "WWW-Authenticate: Bearer\r\n";
    return out + "\r\n" + body;
}

Reader::Step Reader::feed(QByteArray& in)
{
    while (!in.isEmpty()) {
        if (body_ > 0) {
            const qint64 take = std::min<qint64>(body_, in.size());
            body_ -= take;
            in.remove(0, take);
            continue;
        }
        buffer_ += in;
        in.clear();
        // Blank lines before a request are allowed and mean nothing.
        while (buffer_.startsWith("\r\n"))
            buffer_.remove(0, 2);
        const qsizetype end = buffer_.indexOf("\r\n\r\n");
        const qsizetype lineEnd = buffer_.indexOf("\r\n");
        if ((lineEnd < 0 ? buffer_.size() : lineEnd) > limits_.maxTargetBytes + 32) {
            refusal_ = {414, "the address is too long"};
            return Step::Refused;
        }
        if ((end < 0 && buffer_.size() > limits_.maxHeadBytes) || end + 4 > limits_.maxHeadBytes) {
            refusal_ = {431, "the request's headers are too large"};
            return Step::Refused;
        }
        if (end < 0)
            return Step::More;
        in = buffer_.mid(end + 4);
        const QByteArray text = buffer_.left(end);
        buffer_.clear();
        return parse(text) == Step::Head ? Step::Head : Step::Refused;
    }
    return Step::More;
}

Reader::Step Reader::parse(const QByteArray& text)
{
    head_ = {};
    const QList<QByteArray> lines = text.split('\n');
    const QList<QByteArray> request = lines.first().trimmed().split(' ');
    if (request.size() != 3 || !request[2].startsWith("HTTP/1.")) {
        refusal_ = {400, "not an HTTP/1.1 request"};
        return Step::Refused;
    }
    head_.method = request[0];
    head_.target = request[1];
    if (head_.target.size() > limits_.maxTargetBytes) {
        refusal_ = {414, "the address is too long"};
        return Step::Refused;
    }
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            refusal_ = {400, "a header line is malformed"};
            return Step::Refused;
        }
        head_.headers.append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
    }
    if (!head_.value("transfer-encoding").isEmpty()) {
        refusal_ = {411, "bodies are taken with a Content-Length only"};
        return Step::Refused;
    }
    bool ok = true;
    const QByteArray length = head_.value("content-length");
    body_ = length.isEmpty() ? 0 : length.toLongLong(&ok);
    if (!ok || body_ < 0) {
        refusal_ = {400, "the Content-Length is not a number"};
        return Step::Refused;
    }
    if (body_ > limits_.maxBodyBytes) {
        refusal_ = {413, "the request's body is too large"};
        return Step::Refused;
    }
    return Step::Head;
}

namespace {

// Reads along one connection; a child of its socket.
class Watcher : public QObject {
public:
    Watcher(QTcpSocket* socket, Door& door, const Limits& limits)
        : QObject(socket), socket_(socket), door_(door), limits_(limits), reader_(limits)
    {
        setObjectName(QStringLiteral("corva-watcher"));
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, &Watcher::timedOut);
        // Connected before the server's own slot, so it reads first.
        connect(socket, &QIODevice::readyRead, this, &Watcher::read);
        connect(socket, &QIODevice::bytesWritten, this, &Watcher::rearm);
        headClock_.start();
        rearm();
    }

    bool waiting = false;

    void rearm()
    {
        if (upgraded_)
            return;
        const bool inHead = reader_.inHead() || firstHead_;
        timer_.start(inHead ? std::max<qint64>(0, limits_.headTimeoutMs - headClock_.elapsed()) : limits_.idleTimeoutMs);
    }

private:
    void read()
    {
        const bool wasInHead = reader_.inHead();
        QByteArray bytes = socket_->peek(socket_->bytesAvailable());
        while (!bytes.isEmpty()) {
            const Reader::Step step = reader_.feed(bytes);
            if (step == Reader::Step::More)
                break;
            if (step == Reader::Step::Refused)
                return refuse(reader_.refusal());
            firstHead_ = false;
            if (waiting)   // no pipelining past an answer still to come
                return refuse({400, "one request at a time on a connection"});
            if (door_.judge)
                if (const auto r = door_.judge(reader_.head()))
                    return refuse(*r);
            if (reader_.head().upgrade()) {
                // The WebSocket server has it from here on. A small kernel
                // buffer: else it swallows megabytes of frames for a viewer
                // that stopped reading (on loopback) and the stall never shows.
                socket_->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 32 * 1024);
                upgraded_ = true;
                timer_.stop();
                return;
            }
        }
        if (!wasInHead && reader_.inHead())
            headClock_.restart();
        rearm();
    }

    void timedOut()
    {
        if (waiting || upgraded_)
            return rearm();
        if (reader_.inHead() || firstHead_)
            return refuse({408, "the request did not arrive in time"});
        socket_->disconnectFromHost();
    }

    void refuse(const Refusal& r)
    {
        ++door_.refused;
        timer_.stop();
        // The server does not see what is refused.
        QObject::disconnect(socket_, &QIODevice::readyRead, door_.server, nullptr);
        QObject::disconnect(socket_, &QIODevice::readyRead, this, nullptr);
        socket_->readAll();
        if (waiting) {
            socket_->abort();
            return;
        }
        socket_->write(refusalBytes(r));
        socket_->disconnectFromHost();
    }

    QTcpSocket* socket_;
    Door& door_;
    const Limits& limits_;
    Reader reader_;
    QTimer timer_;
    QElapsedTimer headClock_;
    bool firstHead_ = true, upgraded_ = false;
};

}   // namespace

// A listening socket whose connections pass the door on their way to the
// HTTP server, which takes them from here.
template <class Base>
class Door::Listener : public Base {
public:
    explicit Listener(Door& door) : door_(door) {}
    QTcpSocket* nextPendingConnection() override
    {
        while (QTcpSocket* s = Base::nextPendingConnection())
            if (door_.admit(s))
                return s;
        return nullptr;
    }

private:
    Door& door_;
};

Door::Door(Limits limits, QObject* parent) : QObject(parent), limits_(limits) {}

bool Door::listen(const QHostAddress& address, quint16 port, const QSslConfiguration* tls, QString& why)
{
    QTcpServer* listener = nullptr;
#if QT_CONFIG(ssl)
    if (tls) {
        auto* ssl = new Listener<QSslServer>(*this);
        ssl->setSslConfiguration(*tls);
        ssl->setHandshakeTimeout(limits_.headTimeoutMs);
        listener = ssl;
    }
#else
    if (tls) {
        why = QStringLiteral("this corvactl is built without TLS");
        return false;
    }
#endif
    if (!listener)
        listener = new Listener<QTcpServer>(*this);
    if (!listener->listen(address, port)) {
        why = listener->errorString();
        delete listener;
        return false;
    }
    listeners_.append(listener);
    return true;
}

QList<QPair<QHostAddress, quint16>> Door::addresses() const
{
    QList<QPair<QHostAddress, quint16>> out;
    for (const QTcpServer* l : listeners_)
        out.append({l->serverAddress(), l->serverPort()});
    return out;
}

int Door::openConnections()
{
    open_.removeIf([](const QPointer<QTcpSocket>& s) { return !s || s->state() != QAbstractSocket::ConnectedState; });
    return int(open_.size());
}

void Door::setWaiting(QTcpSocket* socket, bool waiting)
{
    if (!socket)
        return;
    if (auto* w = static_cast<Watcher*>(socket->findChild<QObject*>(QStringLiteral("corva-watcher"),
                                                                    Qt::FindDirectChildrenOnly))) {
        w->waiting = waiting;
        w->rearm();
    }
}

QTcpSocket* Door::admit(QTcpSocket* s)
{
    connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
    if (openConnections() >= limits_.maxConnections) {
        ++refused;
        s->write(refusalBytes({503, "too many connections; try again later"}));
        s->disconnectFromHost();
        return nullptr;
    }
    open_.append(s);
    new Watcher(s, *this, limits_);
    // What came with the TLS handshake has been read already.
    if (s->bytesAvailable())
        QMetaObject::invokeMethod(s, &QIODevice::readyRead, Qt::QueuedConnection);
    return s;
}

}   // namespace gate
