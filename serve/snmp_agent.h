#pragma once
// The instrument and its alarms over SNMP, as an AgentX subagent of the
// machine's master agent (net-snmp's snmpd): the rows of CORVAMETER-MIB
// (dist/CORVAMETER-MIB.txt) and a notification for each alarm set and
// cleared. net-snmp's sockets and timers run in Qt's event loop. When the
// master is absent or goes away, the agent says so once, keeps serving the
// rest, and connects again when the master is back. Linux only.
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <map>
#include <memory>
#include <vector>

class AlarmDesk;
class Station;
namespace alarms {
struct Transition;
}

class SnmpAgent : public QObject {
    Q_OBJECT
public:
    // One agent a process: net-snmp keeps its state in globals.
    SnmpAgent(const QString& socket, Station& station, AlarmDesk& desk, QObject* parent = nullptr);
    ~SnmpAgent() override;

    bool connected() const { return connected_; }
    static constexpr int kPingSeconds = 2;   // how often a lost master is looked for

    // What the registered subtree holds now, OID by OID (for net-snmp's handler).
    struct Value {
        unsigned char type;
        std::vector<unsigned char> bytes;   // octet strings
        long number = 0;                    // integers, counters
    };
    using Oid = std::vector<unsigned long>;
    const std::map<Oid, Value>& values();

private:
    void pump();
    void rearm();
    void notify(const alarms::Transition& t);
    void watchConnection();

    QString socket_;
    Station& station_;
    AlarmDesk& desk_;
    QTimer timer_;
    std::map<int, std::unique_ptr<QSocketNotifier>> notifiers_;
    std::map<Oid, Value> values_;
    bool connected_ = false, told_ = false;
};
