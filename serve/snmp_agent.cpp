#include "snmp_agent.h"
#include "alarm_desk.h"
#include "station.h"
#include <QDateTime>
#include <QJsonObject>
#include <cstdio>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

// The session to the master agent, null while there is none. net-snmp's
// AgentX subagent keeps it here and exports it, without a header.
extern "C" netsnmp_session* main_session;

namespace {

using alarms::Id;
using alarms::Transition;

// CORVAMETER-MIB: RFC 5612's arc for documentation, 32473, then ours.
const SnmpAgent::Oid kMib{1, 3, 6, 1, 4, 1, 32473, 7};
const SnmpAgent::Oid kObjects = [] { auto o = kMib; o.push_back(1); return o; }();
constexpr oid kTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};   // snmpTrapOID.0
enum Column { kSerial = 2, kAttached, kMode, kFrames, kLevel1 };
enum AlarmColumn { kName = 2, kBar, kSince, kClearedAt };

SnmpAgent* theAgent = nullptr;

SnmpAgent::Oid instrumentCell(int column)
{
    SnmpAgent::Oid o = kObjects;
    o.insert(o.end(), {1, 1, oid(column), 1});
    return o;
}

SnmpAgent::Oid alarmCell(int column, int row)
{
    SnmpAgent::Oid o = kObjects;
    o.insert(o.end(), {2, 1, oid(column), oid(row)});
    return o;
}

// DateAndTime in UTC: year, month, day, hours, minutes, seconds,
// deciseconds, then '+' 0 0.
std::vector<unsigned char> dateAndTime(const QDateTime& t)
{
    const QDateTime u = t.toUTC();
    const QDate d = u.date();
    const QTime h = u.time();
    return {static_cast<unsigned char>(d.year() >> 8), static_cast<unsigned char>(d.year() & 0xff),
            static_cast<unsigned char>(d.month()),     static_cast<unsigned char>(d.day()),
            static_cast<unsigned char>(h.hour()),      static_cast<unsigned char>(h.minute()),
            static_cast<unsigned char>(h.second()),    static_cast<unsigned char>(h.msec() / 100),
            '+', 0, 0};
}

SnmpAgent::Value text(const QString& s)
{
    const QByteArray b = s.toUtf8();
    return {ASN_OCTET_STR, std::vector<unsigned char>(b.begin(), b.end())};
}

SnmpAgent::Value number(unsigned char type, long n)
{
    return {type, {}, n};
}

void setValue(netsnmp_variable_list* vb, const SnmpAgent::Value& v)
{
    if (v.type == ASN_OCTET_STR)
        snmp_set_var_typed_value(vb, v.type, v.bytes.data(), v.bytes.size());
    else if (v.type == ASN_COUNTER || v.type == ASN_UNSIGNED) {
        const u_long n = u_long(v.number);
        snmp_set_var_typed_value(vb, v.type, &n, sizeof n);
    } else {
        snmp_set_var_typed_value(vb, v.type, &v.number, sizeof v.number);
    }
}

int handle(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* info,
           netsnmp_request_info* requests)
{
    if (!theAgent)
        return SNMP_ERR_GENERR;
    const auto& values = theAgent->values();
    for (netsnmp_request_info* r = requests; r; r = r->next) {
        if (r->processed)
            continue;
        const SnmpAgent::Oid name(r->requestvb->name, r->requestvb->name + r->requestvb->name_length);
        switch (info->mode) {
        case MODE_GET: {
            const auto it = values.find(name);
            if (it == values.end())
                netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
            else
                setValue(r->requestvb, it->second);
            break;
        }
        case MODE_GETNEXT: {
            // Left as it is when nothing follows here: the agent goes on to
            // the next subtree.
            const auto it = values.upper_bound(name);
            if (it != values.end()) {
                snmp_set_var_objid(r->requestvb, it->first.data(), it->first.size());
                setValue(r->requestvb, it->second);
            }
            break;
        }
        default:
            netsnmp_set_request_error(info, r, SNMP_ERR_NOTWRITABLE);
            break;
        }
    }
    return SNMP_ERR_NOERROR;
}

// net-snmp's own messages: only the serious ones, in our words' place.
int logged(int, int, void*, void* data)
{
    const auto* m = static_cast<const snmp_log_message*>(data);
    if (m && m->priority <= LOG_ERR && m->msg)
        std::fprintf(stderr, "corvactl: SNMP: %s", m->msg);
    return 0;
}

}   // namespace

SnmpAgent::SnmpAgent(const QString& socket, Station& station, AlarmDesk& desk, QObject* parent)
    : QObject(parent), socket_(socket), station_(station), desk_(desk)
{
    theAgent = this;
    snmp_enable_calllog();
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, logged, nullptr);
    // A subagent that reads no configuration, keeps no state on disk and
    // loads no MIB files: the service's sandbox has none of them.
    qputenv("MIBS", "");
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    // Its timers run from our loop, not from SIGALRM in the middle of anything.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_ROOT_ACCESS, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket_.toLocal8Bit().constData());
    init_agent("corvactl");
    // After init_agent, which sets its own default.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, kPingSeconds);
    netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
        "corvameter", handle, kObjects.data(), kObjects.size(), HANDLER_CAN_RONLY);
    netsnmp_register_handler(reg);
    init_snmp("corvactl");

    connect(&desk_, &AlarmDesk::transition, this, &SnmpAgent::notify);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &SnmpAgent::pump);
    pump();
}

SnmpAgent::~SnmpAgent()
{
    notifiers_.clear();
    snmp_shutdown("corvactl");
    theAgent = nullptr;
}

void SnmpAgent::pump()
{
    agent_check_and_process(0);
    watchConnection();
    rearm();
}

void SnmpAgent::rearm()
{
    // The sockets net-snmp waits on, and when its next timer is due.
    int fds = 0, block = 1;
    fd_set set;
    FD_ZERO(&set);
    timeval tv{};
    snmp_select_info(&fds, &set, &tv, &block);
    for (auto it = notifiers_.begin(); it != notifiers_.end();) {
        if (it->first < fds && FD_ISSET(it->first, &set)) {
            it->second->setEnabled(true);
            ++it;
            continue;
        }
        it->second.release()->deleteLater();   // it may be the one whose signal runs
        it = notifiers_.erase(it);
    }
    for (int fd = 0; fd < fds; ++fd) {
        if (!FD_ISSET(fd, &set) || notifiers_.count(fd))
            continue;
        auto n = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QSocketNotifier* raw = n.get();
        // Quiet until net-snmp has read: the notifier fires while data waits.
        connect(raw, &QSocketNotifier::activated, this, [this, raw] {
            raw->setEnabled(false);
            QTimer::singleShot(0, this, &SnmpAgent::pump);
        });
        notifiers_[fd] = std::move(n);
    }
    const long ms = block ? 1000 : long(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
    timer_.start(int(std::clamp<long>(ms, 0, 1000)));
}

void SnmpAgent::watchConnection()
{
    const bool now = main_session != nullptr;
    if (now == connected_ && told_)
        return;
    if (now)
        std::fprintf(stderr, "corvactl: SNMP: serving CORVAMETER-MIB as an AgentX subagent of %s\n",
                     qPrintable(socket_));
    else if (connected_)
        std::fprintf(stderr, "corvactl: SNMP: the AgentX master at %s went away; connecting again when it is back\n",
                     qPrintable(socket_));
    else
        std::fprintf(stderr,
                     "corvactl: SNMP: no AgentX master agent at %s (snmpd with \"master agentx\"); serving on, "
                     "and connecting when it is there\n",
                     qPrintable(socket_));
    std::fflush(stderr);
    connected_ = now;
    told_ = true;
}

const std::map<SnmpAgent::Oid, SnmpAgent::Value>& SnmpAgent::values()
{
    // Made afresh for each request: a few dozen cells.
    values_.clear();
    const QJsonObject s = station_.state();
    values_[instrumentCell(kSerial)] = text(s.value("serial").toString());
    values_[instrumentCell(kAttached)] = number(ASN_INTEGER, station_.attached() ? 1 : 2);
    values_[instrumentCell(kMode)] = number(ASN_INTEGER, desk_.displayMode());
    values_[instrumentCell(kFrames)] = number(ASN_COUNTER, long(qint64(s.value("frames").toDouble()) & 0xffffffff));
    const auto levels = desk_.levels();
    for (int i = 0; i < alarms::kBars; ++i)
        values_[instrumentCell(kLevel1 + i)] = number(ASN_INTEGER, levels[size_t(i)]);
    for (const alarms::Record& r : desk_.evaluator().active()) {
        const int row = r.id.number();
        values_[alarmCell(kName, row)] = text(QString::fromLatin1(alarms::name(r.id.kind)));
        values_[alarmCell(kBar, row)] = number(ASN_INTEGER, r.id.bar);
        values_[alarmCell(kSince, row)] = {ASN_OCTET_STR, dateAndTime(desk_.wall(r.set))};
    }
    return values_;
}

void SnmpAgent::notify(const Transition& t)
{
    // corvAlarmSet or corvAlarmCleared, naming the alarm, its bar and the
    // instrument.
    Oid trap = kMib;
    trap.insert(trap.end(), {0, oid(t.set ? 1 : 2)});
    const int row = t.id.number();
    netsnmp_variable_list* vars = nullptr;
    snmp_varlist_add_variable(&vars, kTrapOid, OID_LENGTH(kTrapOid), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char*>(trap.data()), trap.size() * sizeof(oid));
    const auto add = [&](const Oid& o, const Value& v) {
        if (v.type == ASN_OCTET_STR)
            snmp_varlist_add_variable(&vars, o.data(), o.size(), v.type, v.bytes.data(), v.bytes.size());
        else
            snmp_varlist_add_variable(&vars, o.data(), o.size(), v.type, &v.number, sizeof v.number);
    };
    add(alarmCell(kName, row), text(QString::fromLatin1(alarms::name(t.id.kind))));
    add(alarmCell(kBar, row), number(ASN_INTEGER, t.id.bar));
    add(instrumentCell(kSerial), text(station_.state().value("serial").toString()));
    add(alarmCell(kSince, row), {ASN_OCTET_STR, dateAndTime(desk_.wall(t.since))});
    if (!t.set)
        add(alarmCell(kClearedAt, row), {ASN_OCTET_STR, dateAndTime(desk_.wall(t.at))});
    send_v2trap(vars);
    snmp_free_varbind(vars);
    // Out now, not at the next turn of the loop.
    QTimer::singleShot(0, this, &SnmpAgent::pump);
}
