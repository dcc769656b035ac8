#pragma once
// corvactl serve: one instrument for every browser, script and Prometheus
// that holds the token, until SIGINT or SIGTERM.
#include "alarm_desk.h"
#include "exchange.h"
#include <QHostAddress>
#include <QString>
#include <QStringList>

struct ServePlan {
    QStringList listen;            // ADDRESS:PORT, as given
    QString tokenFile, viewTokenFile;
    QStringList allowHosts;
    QString tlsCert, tlsKey;
    int maxConnections = 128;
    bool continuous = false;       // start a continuous download at once
    bool open = false;             // open the page in the default browser once listening
    AlarmPlan alarms;
    QString snmpAgentx;            // the AgentX master's socket; empty: no SNMP
};

constexpr quint16 kServePort = 8460;
constexpr const char* kServeDefaultListen = "127.0.0.1:8460";

// ADDRESS:PORT ([v6]:PORT, or a port alone on loopback); false when not one.
bool parseListen(const QString& text, QHostAddress& address, quint16& port);

int serve(Console& c, const ServePlan& plan);
