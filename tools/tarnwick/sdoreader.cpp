#include "sdoreader.h"

#include "sdoclient.h"
#include "tool.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

SdoRequest::Outcome SdoRequest::read(quint16 index, quint8 sub, CAN::CANopenDataType type)
{
    return run(true, index, sub, type, QVariant());
}

SdoRequest::Outcome SdoRequest::write(
    quint16 index, quint8 sub, CAN::CANopenDataType type, const QVariant &value)
{
    return run(false, index, sub, type, value);
}

SdoRequest::Outcome SdoRequest::run(
    bool reading, quint16 index, quint8 sub, CAN::CANopenDataType type, const QVariant &value)
{
    enum { Pending, Done, Error, OpError } state = Pending;
    mValue.clear();
    mCode = 0;
    mBusResult = CAN::RetType_OK;
    QObject guard;
    QObject::connect(&mSdo, &SDOClient::resultReceived, &guard, [&](quint16, quint8, QVariant v) {
        if (state == Pending) {
            mValue = v;
            state = Done;
        }
    });
    QObject::connect(&mSdo, &SDOClient::errorReceived, &guard, [&](quint16, quint8, quint32 c) {
        if (state == Pending) {
            mCode = c;
            state = Error;
        }
    });
    QObject::connect(&mSdo, &SDOClient::opError, &guard, [&](quint16, quint8, CAN::RetType r) {
        if (state == Pending) {
            mBusResult = r == CAN::RetType_OK ? CAN::RetType_NoLink : r;
            state = OpError;
        }
    });
    mBusResult = reading ? mSdo.read(index, sub, type) : mSdo.write(index, sub, type, value);
    if (mBusResult != CAN::RetType_OK)
        return Outcome_Refused;
    // The client ends every request with an outcome; the bound only guards against a stuck bus.
    // The loop ends on the outcome itself, so that requests follow each other without a pause.
    QEventLoop loop;
    QObject::connect(&mSdo, &SDOClient::resultReceived, &loop, &QEventLoop::quit);
    QObject::connect(&mSdo, &SDOClient::errorReceived, &loop, &QEventLoop::quit);
    QObject::connect(&mSdo, &SDOClient::opError, &loop, &QEventLoop::quit);
    QTimer poll; // Ctrl-C and the bound
    QElapsedTimer clock;
    clock.start();
    const qint64 bound = qint64(mSdo.getSdoTimeout()) * 4 + 60000;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (Tool::interrupted() || clock.elapsed() > bound)
            loop.quit();
    });
    poll.start(50);
    while (state == Pending && !Tool::interrupted() && clock.elapsed() <= bound)
        loop.exec();
    if (state == Pending) {
        mSdo.abort(0x05040000);
        mCode = 0x05040000;
        return Outcome_NoAnswer;
    }
    switch (state) {
    case Done:
        return Outcome_Done;
    case Error:
        return mCode == 0x05040000 ? Outcome_NoAnswer : Outcome_Aborted;
    case OpError:
    case Pending:
        break;
    }
    return Outcome_Refused;
}

const EdsFile *edsForNode(Tool &tool, SDOClient &sdo, quint8 node)
{
    if (const EdsFile *file = tool.eds.forNode(node))
        return file;
    if (!tool.eds.hasFolders())
        return nullptr;
    SdoRequest request(tool, sdo);
    quint32 identity[3] = {};
    for (quint8 sub = 1; sub <= 3; ++sub) {
        if (request.read(0x1018, sub, CAN::UNSIGNED32) != SdoRequest::Outcome_Done)
            return nullptr;
        identity[sub - 1] = request.value().toUInt();
    }
    return tool.eds.forIdentity(identity[0], identity[1], identity[2]);
}
