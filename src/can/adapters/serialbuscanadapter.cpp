#include "serialbuscanadapter.h"

#include "canlogging_p.h"

#include <QCanBus>
#include <QTcpSocket>

SerialBusCanAdapter::SerialBusCanAdapter(QObject *parent) : AbstractCanAdapter(parent) {}

SerialBusCanAdapter::SerialBusCanAdapter(const QString &plugin, const QString &interfaceName, QObject *parent)
    : AbstractCanAdapter(parent), mPlugin(plugin), mInterface(interfaceName)
{
}

SerialBusCanAdapter::~SerialBusCanAdapter()
{
    disconnectDevice();
}

void SerialBusCanAdapter::setBitrate(int bitsPerSecond)
{
    mBitrate = bitsPerSecond;
    setCanAdapterOption(AdapterOption_Bitrate, bitsPerSecond);
}

void SerialBusCanAdapter::setCanFd(bool on, int dataBitsPerSecond)
{
    mFd = on;
    mDataBitrate = dataBitsPerSecond;
    mCanFdCapable = on;
    setCanAdapterOption(AdapterOption_DataBitrate, dataBitsPerSecond);
}

bool SerialBusCanAdapter::connectDevice()
{
    disconnectDevice();
    mError.clear();
    if (!QCanBus::instance()->plugins().contains(mPlugin)) {
        mError = tr("CAN plugin \"%1\" is not available (available: %2)")
                     .arg(mPlugin, QCanBus::instance()->plugins().join(QLatin1String(", ")));
        return false;
    }
    QString error;
    QCanBusDevice *device = QCanBus::instance()->createDevice(mPlugin, mInterface, &error);
    if (!device) {
        mError = error.isEmpty() ? tr("cannot create CAN device %1:%2").arg(mPlugin, mInterface) : error;
        return false;
    }
    device->setParent(this);
    mDevice = device;
    if (mBitrate > 0)
        device->setConfigurationParameter(QCanBusDevice::BitRateKey, mBitrate);
    if (mFd) {
        device->setConfigurationParameter(QCanBusDevice::CanFdKey, true);
        if (mDataBitrate > 0)
            device->setConfigurationParameter(QCanBusDevice::DataBitRateKey, mDataBitrate);
    }
    connect(device, &QCanBusDevice::framesReceived, this, &SerialBusCanAdapter::readFrames);
    connect(device, &QCanBusDevice::errorOccurred, this, &SerialBusCanAdapter::onError);
    connect(device, &QCanBusDevice::stateChanged, this, &SerialBusCanAdapter::deviceStateChanged);
    if (!device->connectDevice()) {
        mError = device->errorString();
        if (mError.isEmpty())
            mError = tr("cannot connect CAN device %1:%2").arg(mPlugin, mInterface);
        delete device;
        return false;
    }
    // Plugins that carry frames over TCP (virtualcan) would otherwise hold small writes back
    // (Nagle) until the peer acknowledges: a burst of block segments then stalls for the
    // peer's delayed acknowledgement.
    for (QTcpSocket *socket : device->findChildren<QTcpSocket *>())
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}

void SerialBusCanAdapter::disconnectDevice()
{
    if (!mDevice)
        return;
    QCanBusDevice *device = mDevice.data();
    mDevice.clear();
    device->disconnect(this);
    if (device->state() != QCanBusDevice::UnconnectedState)
        device->disconnectDevice();
    device->deleteLater();
}

bool SerialBusCanAdapter::isConnected() const
{
    return mDevice && mDevice->state() == QCanBusDevice::ConnectedState;
}

QCanBusFrame SerialBusCanAdapter::toCanBusFrame(const CAN::CanMessage &message)
{
    int length = qMin<int>(message.length, 64);
    const quint8 *data = message.data;
    CAN::CanMessage padded;
    if (message.fd && !message.remote && length > 8 && CAN::canFdLengthFor(length) != length) {
        // Only the CAN FD data lengths exist on the bus: pad up to the next one.
        padded.fd = true;
        padded.length = quint8(length);
        std::memcpy(padded.data, message.data, size_t(length));
        CAN::padToCanFdLength(padded);
        length = padded.length;
        data = padded.data;
    }
    QCanBusFrame frame(message.remote ? QCanBusFrame::RemoteRequestFrame : QCanBusFrame::DataFrame);
    frame.setExtendedFrameFormat(message.extended);
    frame.setFrameId(message.id);
    frame.setFlexibleDataRateFormat(message.fd);
    frame.setBitrateSwitch(message.fd && message.bitRateSwitch);
    if (message.remote) {
        // A remote frame carries no data, only the length it asks for.
        frame.setPayload(QByteArray(length, '\0'));
    } else {
        frame.setPayload(QByteArray(reinterpret_cast<const char *>(data), length));
    }
    return frame;
}

CAN::CanRxMessage SerialBusCanAdapter::fromCanBusFrame(const QCanBusFrame &frame)
{
    CAN::CanRxMessage rx;
    const QCanBusFrame::TimeStamp ts = frame.timeStamp();
    if (ts.seconds() == 0 && ts.microSeconds() == 0)
        rx.timeStamp = CanTimeStamp::now(); // the plugin gave none
    else
        rx.timeStamp = CanTimeStamp(qint32(ts.seconds()), qint32(ts.microSeconds()));
    rx.id = frame.frameId();
    rx.extended = frame.hasExtendedFrameFormat();
    rx.remote = frame.frameType() == QCanBusFrame::RemoteRequestFrame;
    rx.fd = frame.hasFlexibleDataRateFormat();
    rx.bitRateSwitch = frame.hasBitrateSwitch();
    const QByteArray payload = frame.payload();
    rx.length = quint8(qMin(64, int(payload.size())));
    if (!rx.remote)
        std::memcpy(rx.data, payload.constData(), rx.length);
    return rx;
}

CAN::RetType SerialBusCanAdapter::sendCanMessage(CAN::CanMessage &message)
{
    if (!isConnected())
        return CAN::RetType_Offline;
    if (!CAN::hasValidIdentifier(message))
        return CAN::RetType_InvalidRequest; // QCanBusFrame would turn it into a 29-bit frame
    if (message.length > 64 || (message.length > 8 && !message.fd) || (message.fd && !mFd)
        || (message.fd && message.remote))
        return CAN::RetType_InvalidFrame;
    if (mDevice->framesToWrite() >= mBacklogLimit)
        return CAN::RetType_NotReady;
    // The device only takes the CAN FD data lengths; the frame goes out padded, the caller's
    // record stays as it was.
    const QCanBusFrame frame = toCanBusFrame(message);
    if (!frame.isValid())
        return CAN::RetType_InvalidFrame;
    if (!mDevice->writeFrame(frame)) {
        qCDebug(lcCan) << "can write error" << mDevice->errorString();
        return CAN::RetType_DeviceError;
    }
    CAN::logFrame(message);
    return CAN::RetType_OK;
}

void SerialBusCanAdapter::readFrames()
{
    if (!mDevice)
        return;
    while (mDevice && mDevice->framesAvailable() > 0) {
        const QCanBusFrame frame = mDevice->readFrame();
        if (!frame.isValid() || frame.frameType() == QCanBusFrame::ErrorFrame
            || frame.frameType() == QCanBusFrame::InvalidFrame) {
            if (frame.frameType() == QCanBusFrame::ErrorFrame)
                emit deviceError(tr("CAN error frame 0x%1").arg(int(frame.error()), 0, 16));
            continue;
        }
        emit messageReceived(fromCanBusFrame(frame));
    }
}

void SerialBusCanAdapter::onError(QCanBusDevice::CanBusError)
{
    if (mDevice)
        emit deviceError(mDevice->errorString());
}
