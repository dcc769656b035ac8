#include "serve.h"
#include "browser.h"
#include "console.h"
#include "server.h"
#include "tokens.h"
#ifdef CORVA_HAVE_SNMP
#include "snmp_agent.h"
#endif
#include <memory>
#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#endif
#include <cstdio>

bool parseListen(const QString& text, QHostAddress& address, quint16& port)
{
    const qsizetype colon = text.lastIndexOf(u':');
    QString host = colon < 0 ? QStringLiteral("127.0.0.1") : text.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p > 65535 || !address.setAddress(host))
        return false;
    port = quint16(p);
    return true;
}

namespace {

QString defaultTokenFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/serve-token");
}

#if QT_CONFIG(ssl)
bool loadTls(const ServePlan& plan, QSslConfiguration& tls)
{
    QFile cert(plan.tlsCert), key(plan.tlsKey);
    if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly)) {
        err(QStringLiteral("cannot read %1").arg(cert.isOpen() ? plan.tlsKey : plan.tlsCert));
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromDevice(&cert, QSsl::Pem);
    const QByteArray keyPem = key.readAll();
    QSslKey k(keyPem, QSsl::Rsa, QSsl::Pem);
    if (k.isNull())
        k = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
    if (chain.isEmpty() || k.isNull()) {
        err(QStringLiteral("%1 holds no PEM %2").arg(chain.isEmpty() ? plan.tlsCert : plan.tlsKey,
                                                     chain.isEmpty() ? QStringLiteral("certificate") : QStringLiteral("private key")));
        return false;
    }
    tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(k);
    return true;
}
#endif

}   // namespace

int serve(Console& c, const ServePlan& plan)
{
    ServeOptions o;
    QString why;
    o.controlToken = tokens::loadOrCreate(plan.tokenFile.isEmpty() ? defaultTokenFile() : plan.tokenFile, why);
    if (!o.controlToken.isEmpty() && !plan.viewTokenFile.isEmpty())
        o.viewToken = tokens::loadOrCreate(plan.viewTokenFile, why);
    if (o.controlToken.isEmpty() || (!plan.viewTokenFile.isEmpty() && o.viewToken.isEmpty())) {
        err(why);
        return kFailed;
    }
    if (tokens::same(o.controlToken, o.viewToken)) {
        err(QStringLiteral("the view token is the control token; give --view-token-file a file of its own"));
        return kFailed;
    }
    o.allowHosts = plan.allowHosts;
    o.limits.maxConnections = plan.maxConnections;

    const QSslConfiguration* tlsUsed = nullptr;
#if QT_CONFIG(ssl)
    QSslConfiguration tls;
    if (!plan.tlsCert.isEmpty()) {
        if (!loadTls(plan, tls))
            return kFailed;
        tlsUsed = &tls;
        o.tls = true;
    }
#endif

    gate::Door door(o.limits);
    for (const QString& l : plan.listen) {
        QHostAddress address;
        quint16 port = 0;
        parseListen(l, address, port);
        if (!door.listen(address, port, tlsUsed, why)) {
            err(QStringLiteral("cannot listen on %1: %2").arg(l, why));
            return kFailed;
        }
    }
    Station station(c);
    Server server(station, door, o);
    AlarmDesk alarms(station, plan.alarms);
    server.setAlarms(&alarms);
#ifdef CORVA_HAVE_SNMP
    std::unique_ptr<SnmpAgent> snmp;
    if (!plan.snmpAgentx.isEmpty())
        snmp = std::make_unique<SnmpAgent>(plan.snmpAgentx, station, alarms);
#else
    if (!plan.snmpAgentx.isEmpty()) {
        err(QStringLiteral("--snmp-agentx: this corvactl is built without SNMP (net-snmp's agent library, Linux only)"));
        return kUsage;
    }
#endif

    if (!catchStopSignals([&] {
            std::fputs("corvactl: stopping\n", stderr);
            station.shutDown([] { QCoreApplication::quit(); });
        })) {
        err(QStringLiteral("cannot catch Ctrl-C"));
        return kFailed;
    }
    // The one line that holds the token: the address to open. The token
    // follows the '#', which a browser keeps to itself.
    const QString scheme = o.tls ? QStringLiteral("https") : QStringLiteral("http");
    QString page;   // the first loopback address, for --open
    for (const auto& [address, port] : door.addresses()) {
        const bool any = address == QHostAddress::Any || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6;
        const QString host = any ? QStringLiteral("HOSTNAME")
                             : address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(address.toString())
                                                                                   : address.toString();
        const QString url = QStringLiteral("%1://%2:%3/#token=%4")
                                .arg(scheme, host).arg(port).arg(QLatin1String(o.controlToken));
        std::printf("%s\n", qPrintable(url));
        if (page.isEmpty() && address.isLoopback())
            page = url;
        if (!o.tls && !address.isLoopback())
            err(QStringLiteral("warning: %1 is reachable from other machines without TLS: the token and the pictures "
                               "cross the network in the clear; give --tls-cert and --tls-key")
                    .arg(any ? QStringLiteral("every address") : address.toString()));
        if (any && o.allowHosts.isEmpty())
            err(QStringLiteral("warning: browsers will name this machine in the Host header; give each name they use "
                               "with --allow-host NAME"));
    }
    std::fflush(stdout);
    err(QStringLiteral("serving %1 through %2; Ctrl-C ends")
            .arg(c.session.link.serialWanted.isEmpty() ? QStringLiteral("the first instrument found")
                                                       : QString::fromLatin1(c.session.link.serialWanted),
                 c.driver.backend() == DynamicD2xx::Backend::Libftdi ? QStringLiteral("libftdi1")
                                                                     : QStringLiteral("the driver library")));
    if (plan.open) {
        // A server without a browser still serves: the address is printed above.
        if (page.isEmpty())
            err(QStringLiteral("warning: --open: no loopback address to open; add --listen 127.0.0.1:PORT"));
        else if (!openInBrowser(page, why))
            err(QStringLiteral("warning: --open: cannot start the browser (%1); open the address above").arg(why));
    }
    if (plan.continuous)
        station.press(Station::Button::Continuous, nullptr);
    QCoreApplication::exec();
    return kOk;
}
