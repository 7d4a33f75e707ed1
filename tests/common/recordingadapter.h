#pragma once

#include "abstractcanadapter.h"

#include <QElapsedTimer>
#include <QList>
#include <QStringList>

/// A frame with the given identifier (29-bit above 0x7FF) and bytes (CAN FD above 8 bytes).
CAN::CanMessage makeFrame(quint32 id, const QByteArray &bytes);

/// An adapter that records what services send and answers with a chosen result; received
/// frames and gateway answers are injected by the test.
class RecordingAdapter : public AbstractCanAdapter
{
    Q_OBJECT
public:
    explicit RecordingAdapter(QObject *parent = nullptr)
        : AbstractCanAdapter(parent)
    {
        clock.start();
    }

    CAN::RetType sendCanMessage(CAN::CanMessage &message) override
    {
        frames.append(message);
        sentAtNs.append(clock.nsecsElapsed());
        return result;
    }
    CAN::RetType sendCiA309Request(const QString &line, quint16 &sequence) override
    {
        requestLines.append(line);
        sequenceIn.append(sequence);
        sequence = nextSequence++;
        return result;
    }
    CAN::RetType sendCiA309Line(const QString &line) override
    {
        lines.append(line);
        return result;
    }

    void setGateway(bool on) { setCanAdapterOption(AdapterOption_CiA309Gateway, on); }
    void inject(const CAN::CanRxMessage &message) { emit messageReceived(message); }
    void injectFrame(quint32 id, const QByteArray &bytes)
    {
        emit messageReceived(CAN::CanRxMessage(makeFrame(id, bytes), CanTimeStamp::now()));
    }
    void injectGateway(const QString &text) { emit newCiA309Response(text); }
    void clear()
    {
        frames.clear(), sentAtNs.clear(), requestLines.clear(), lines.clear(), sequenceIn.clear();
    }

    CAN::RetType result = CAN::RetType_OK;
    quint16 nextSequence = 1;
    QList<CAN::CanMessage> frames;
    QList<qint64> sentAtNs; // when each frame was sent, on clock
    QElapsedTimer clock;
    QStringList requestLines;
    QList<quint16> sequenceIn;
    QStringList lines;
};

/// The data bytes of a frame as lower-case hex, for comparison with literals.
QByteArray frameHex(const CAN::CanMessage &message);
QByteArray frameHex(const CAN::CanRxMessage &message);
/// A classic frame with the given identifier and hex bytes.
inline CAN::CanMessage makeFrame(quint32 id, const char *hex)
{
    return makeFrame(id, QByteArray::fromHex(hex));
}
