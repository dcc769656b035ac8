#pragma once
// The instrument on the network: the page, the JSON API, the live picture
// over WebSockets and the metrics, all behind the door's checks and a token.
#include "gate.h"
#include "station.h"
#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <memory>

class AlarmDesk;
class QWebSocket;

struct ServeOptions {
    QList<QPair<QHostAddress, quint16>> listen;
    QStringList allowHosts;       // names besides the listen addresses
    QByteArray controlToken, viewToken;
    bool tls = false;
    gate::Limits limits;
    int stallMs = 10000;          // a viewer that takes nothing for this long is dropped
};

class Server : public QAbstractHttpServer {
    Q_OBJECT
public:
    enum class Role { None, View, Control };

    Server(Station& station, gate::Door& door, ServeOptions options, QObject* parent = nullptr);
    ~Server() override;

    // The role `token` gives; None when it gives none.
    Role roleOf(const QByteArray& token) const;
    int viewerCount() const { return int(viewers_.size()); }
    // The alarms shown in the API, the state messages and the metrics.
    void setAlarms(AlarmDesk* desk);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Viewer;
    std::optional<gate::Refusal> judge(const gate::Head& head) const;
    bool hostAllowed(const QByteArray& host) const;
    void acceptViewers();
    void broadcastFrame(const QByteArray& png);
    void broadcastState();
    void send(Viewer& v);
    void drop(QWebSocket* ws);
    void sweep();
    QJsonObject stateFor(Role role) const;
    // The state message as one role sees it, made once for every viewer.
    const QString& stateText(Role role);
    void stale();

    Station& station_;
    gate::Door& door_;
    ServeOptions options_;
    QStringList hosts_;            // Host values let in, lower case
    std::vector<std::unique_ptr<Viewer>> viewers_;
    QTimer stateSoon_, sweeper_;
    QString stateText_[2];         // view, control; empty when stale
    AlarmDesk* alarms_ = nullptr;
};
