#pragma once

#include "abstractcanadapter.h"
#include "vendrel_export.h"

#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QPointer>

/// A CAN adapter over a QtSerialBus device: any plugin QCanBus offers (socketcan, virtualcan,
/// peakcan, vectorcan, ...). Results of sendCanMessage: 0 accepted; 2 an 11-bit identifier above
/// 0x7FF; 3 a frame the device cannot carry (length above 64, above 8 without CAN FD, CAN FD while
/// FD is off); 4 not connected; 5 the device refused the frame; 7 the device's transmit backlog
/// is above its bound. A CAN FD frame whose length is no CAN FD data length goes out padded with
/// 0xCC up to the next one (12, 16, 20, 24, 32, 48, 64).
class VENDREL_EXPORT SerialBusCanAdapter : public AbstractCanAdapter
{
    Q_OBJECT
public:
    explicit SerialBusCanAdapter(QObject *parent = nullptr);
    /// plugin and interface, e.g. "socketcan", "can0" or "virtualcan", "can0".
    SerialBusCanAdapter(const QString &plugin, const QString &interfaceName, QObject *parent = nullptr);
    ~SerialBusCanAdapter() override;

    void setPlugin(const QString &plugin) { mPlugin = plugin; }
    QString plugin() const { return mPlugin; }
    void setInterfaceName(const QString &name) { mInterface = name; }
    QString interfaceName() const { return mInterface; }
    /// Nominal bit rate in bit/s; 0 leaves the device's setting alone.
    void setBitrate(int bitsPerSecond);
    /// CAN FD on/off and the data-phase bit rate in bit/s (0: the device's setting).
    void setCanFd(bool on, int dataBitsPerSecond = 0);
    /// Bound of the device's transmit backlog above which sending answers 7 (default 64).
    void setTransmitBacklogLimit(int frames) { mBacklogLimit = qMax(1, frames); }

    /// Creates and connects the device; false with errorString() when that fails.
    bool connectDevice();
    void disconnectDevice();
    bool isConnected() const;
    QString errorString() const { return mError; }
    QCanBusDevice *device() const { return mDevice.data(); }

    CAN::RetType sendCanMessage(CAN::CanMessage &message) override;

    /// Frame conversions, both ways, with the extended, remote, CAN FD and bit-rate-switch flags.
    static QCanBusFrame toCanBusFrame(const CAN::CanMessage &message);
    static CAN::CanRxMessage fromCanBusFrame(const QCanBusFrame &frame);

signals:
    /// The device reported an error (text from the device).
    void deviceError(const QString &text);
    /// The device changed its state (connected, unconnected, ...).
    void deviceStateChanged(QCanBusDevice::CanBusDeviceState state);

private slots:
    void readFrames();
    void onError(QCanBusDevice::CanBusError error);

private:
    QString mPlugin;
    QString mInterface;
    int mBitrate = 0;
    bool mFd = false;
    int mDataBitrate = 0;
    int mBacklogLimit = 64;
    QString mError;
    QPointer<QCanBusDevice> mDevice;
};
