#pragma once
// The door in front of the HTTP server. It takes the connections from the
// listening sockets, turns away those beyond the bound, and reads along with
// the server to check each request's head before the server acts on it: the
// sizes of the head, the address and the body, and what `judge` says of it
// (the Host, a WebSocket upgrade's path, token and origin). A refusal is
// answered with its status and the connection closed. Idle connections are
// closed.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <functional>
#include <optional>

class QSslConfiguration;
class QTcpSocket;

namespace gate {

struct Limits {
    int maxConnections = 128;       // open at once, WebSockets included
    int maxHeadBytes = 8192;        // request line and headers
    int maxTargetBytes = 2048;      // the request line's path and query
    qint64 maxBodyBytes = 4096;     // no route takes more
    int headTimeoutMs = 10000;      // for a head to arrive whole
    int idleTimeoutMs = 60000;      // between requests
};

// One request's head, as far as the door reads it.
struct Head {
    QByteArray method, target;
    QList<QPair<QByteArray, QByteArray>> headers;   // names in lower case
    QByteArray value(const QByteArray& lowerName) const;
    bool upgrade() const;   // asks for a WebSocket
};

struct Refusal {
    int status;
    QByteArray reason;      // a sentence for the JSON body
};

// An HTTP answer with a JSON body {"error": reason}, closing the connection.
QByteArray refusalBytes(const Refusal& r);

// Feeds a connection's bytes through, a request at a time.
class Reader {
public:
    explicit Reader(const Limits& limits) : limits_(limits) {}
    enum class Step { More, Head, Refused };
    // Takes what came; Head once a head is whole (then head() holds it),
    // Refused when it breaks a bound (then refusal() says which).
    Step feed(QByteArray& bytes);
    const Head& head() const { return head_; }
    const Refusal& refusal() const { return refusal_; }
    bool inHead() const { return body_ == 0 && !buffer_.isEmpty(); }

private:
    Step parse(const QByteArray& text);
    const Limits& limits_;
    QByteArray buffer_;
    qint64 body_ = 0;   // bytes of the current body still to come
    Head head_;
    Refusal refusal_{400, {}};
};

class Door : public QObject {
    Q_OBJECT
public:
    explicit Door(Limits limits, QObject* parent = nullptr);

    // Listens there, with TLS when `tls` is given. False with the reason in `why`.
    bool listen(const QHostAddress& address, quint16 port, const QSslConfiguration* tls, QString& why);
    QList<QPair<QHostAddress, quint16>> addresses() const;

    // What the HTTP server binds to: each hands on only what the door lets in.
    const QList<QTcpServer*>& listeners() const { return listeners_; }
    // The server the door reads ahead of; its readyRead slots are cut when a
    // request is refused.
    QObject* server = nullptr;
    // Whether a request may go on; called for every head.
    std::function<std::optional<Refusal>(const Head&)> judge;

    // A request on this connection waits for its answer: no further request
    // is read meanwhile, and the connection is not idle.
    static void setWaiting(QTcpSocket* socket, bool waiting);
    int openConnections();
    int refused = 0;   // connections or requests turned away

private:
    template <class Base>
    class Listener;
    // The next connection let in from a listener, or null.
    QTcpSocket* admit(QTcpSocket* s);

    Limits limits_;
    QList<QTcpServer*> listeners_;   // the HTTP server takes them as its children
    QList<QPointer<QTcpSocket>> open_;
};

}   // namespace gate
