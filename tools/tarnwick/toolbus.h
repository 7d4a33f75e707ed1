#pragma once

#include <QObject>
#include <QString>

class AbstractCanAdapter;
class CanScheduler;
class SimNetwork;
class VirtualCanBus;

/// The bus a tool works on: "sim" (an in-process simulated network on a virtual bus),
/// "PLUGIN:INTERFACE" for any QtSerialBus plugin (socketcan:can0, virtualcan:can0, ...), or
/// "cia309:HOST:PORT" for a CiA 309-3 ASCII gateway reached over TCP.
class ToolBus : public QObject
{
    Q_OBJECT
public:
    explicit ToolBus(QObject *parent = nullptr);
    ~ToolBus() override;

    /// Opens the bus; false with errorString() when the bus name is malformed
    /// (usageError() true) or the device cannot be opened.
    bool open(const QString &spec, int bitrate, bool fd, int dataBitrate);
    QString errorString() const { return mError; }
    bool usageError() const { return mUsageError; }
    bool isSimulated() const { return mSimNetwork != nullptr; }
    /// True on a CiA 309 gateway: services send command lines, and only what a gateway offers
    /// (SDO, NMT, LSS configuration, EMCY and boot-up reports) is possible.
    bool isGateway() const;

    AbstractCanAdapter *adapter() const { return mAdapter; }
    CanScheduler *scheduler() const { return mScheduler; }
    SimNetwork *simNetwork() const { return mSimNetwork; }

private:
    bool openGateway(const QString &spec);

    AbstractCanAdapter *mAdapter = nullptr;
    CanScheduler *mScheduler = nullptr;
    VirtualCanBus *mVirtualBus = nullptr;
    SimNetwork *mSimNetwork = nullptr;
    AbstractCanAdapter *mDeviceAdapter = nullptr;
    QString mError;
    bool mUsageError = false;
};
