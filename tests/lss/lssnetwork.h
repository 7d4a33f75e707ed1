#pragma once

// A virtual bus with an LSS master and any number of simulated nodes with LSS slaves.

#include "canscheduler.h"
#include "lssmaster.h"
#include "simcanopennode.h"
#include "simlssslave.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QList>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>

#include <algorithm>

/// "action result value" of an lssResult or lssfdResult, for one-line comparisons; a device list
/// joined by commas, an FD address in hex.
inline QString lssOutcome(int action, int result, const QVariant &value)
{
    QStringList v = value.toStringList();
    if (value.type() == QVariant::List) {
        v.clear();
        for (const QVariant &e : value.toList())
            v << QString::number(e.toULongLong(), 16);
    } else if (value.type() != QVariant::StringList) {
        v = QStringList { value.toString() };
    }
    return QStringLiteral("%1 %2 %3").arg(action).arg(result).arg(v.join(QLatin1Char(',')));
}
/// The same for one recorded result signal.
inline QString lssOutcome(const QList<QVariant> &r)
{
    return lssOutcome(r.at(0).toInt(), r.at(1).toInt(), r.at(2));
}

/// The row of a table of requests with the given name.
template<class Request, size_t N> const Request &request(const Request (&table)[N], const QByteArray &name)
{
    return *std::find_if(table, table + N, [&](const Request &r) { return name == r.name; });
}

struct LssNetwork
{
    VirtualCanBus bus;
    QObject devices; // node adapters, nodes and slaves; gone before the bus
    VirtualCanAdapter masterAdapter { &bus };
    CanScheduler scheduler { &masterAdapter };
    LSSMaster master { &scheduler };
    QSignalSpy results { &master, &LSSMaster::lssResult };
    QList<CAN::CanMessage> requests; // every frame the master sent

    LssNetwork()
    {
        QObject::connect(&masterAdapter, &VirtualCanAdapter::frameSent,
            [this](const CAN::CanMessage &m) { requests.append(m); });
    }

    /// A powered node on its own adapter; node-ID 0xFF for an unconfigured one.
    SimLssSlave *addSlave(quint8 nodeId, quint32 vendor, quint32 product, quint32 revision, quint32 serial)
    {
        auto *adapter = new VirtualCanAdapter(&bus, &devices);
        auto *node = new SimCanopenNode(adapter, nodeId, adapter);
        node->setIdentity(vendor, product, revision, serial);
        auto *slave = new SimLssSlave(node);
        node->powerOn();
        return slave;
    }

    QString outcome(int i) const { return lssOutcome(results.at(i)); }

    /// The outcome of an accepted request: its one lssResult.
    QString run(CAN::RetType sent)
    {
        const int seen = results.count();
        if (sent != CAN::RetType_OK)
            return QStringLiteral("refused %1").arg(sent);
        // A running event loop, not qWaitFor: its 10 ms sleeps would outlast a scan step.
        if (results.count() == seen && !results.wait(20000))
            return QStringLiteral("no result");
        return results.count() == seen + 1 ? outcome(seen) : QStringLiteral("several results");
    }
};
