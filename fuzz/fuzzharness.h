#pragma once

#include "abstractcanadapter.h"
#include "canscheduler.h"
#include "virtualcanadapter.h"
#include "virtualcanbus.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

#include <cstddef>
#include <cstdint>

/// Reads the fuzzer's bytes front to back; past the end every read gives zeros.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size)
        : mData(data)
        , mSize(size)
    {
    }

    bool atEnd() const { return mPos >= mSize; }
    size_t remaining() const { return mSize - mPos; }
    quint8 u8() { return mPos < mSize ? mData[mPos++] : 0; }
    quint16 u16() { return quint16(u8() | (u8() << 8)); }
    quint32 u32() { return quint32(u16()) | (quint32(u16()) << 16); }
    /// n bytes, zero-padded when the input ends first.
    QByteArray bytes(int n);
    /// Up to n bytes, as many as there are.
    QByteArray rest(int n = 1 << 20);

private:
    const uint8_t *mData;
    size_t mSize;
    size_t mPos = 0;
};

/// A gateway adapter that accepts every line; answers are injected with respond().
class FuzzGatewayAdapter : public AbstractCanAdapter
{
    Q_OBJECT
public:
    explicit FuzzGatewayAdapter(QObject *parent = nullptr);
    CAN::RetType sendCiA309Line(const QString &line) override;
    CAN::RetType sendCiA309Request(const QString &line, quint16 &sequence) override;
    CAN::RetType sendCanMessage(CAN::CanMessage &message) override;
    void respond(const QString &line) { emit newCiA309Response(line); }

    QStringList sent;
    quint16 nextSequence = 1;
};

/// The host's adapter and scheduler and the fuzzer's peer on one virtual bus.
struct FuzzBus
{
    FuzzBus();
    VirtualCanBus bus;
    VirtualCanAdapter adapter { &bus };
    VirtualCanAdapter peer { &bus };
    CanScheduler scheduler { &adapter };
};

/// Runs posted events until the bus has delivered everything (bounded).
void fuzzSettle();

/// Advances the virtual clock to the next deadline and fires what falls due; false when no timer runs.
bool fuzzAdvanceTime();

/// Plays the input as a sequence of records until it ends or maxRecords were played:
///   op byte: bits 0-1 0 = frame on ids[bits 2-4], 1 = frame on a 4-byte identifier from the input,
///            2 = advance time, 3 = frame on ids[bits 2-4] handed to the host adapter directly (any
///            length 0..64, as a driver could deliver it); bit 5 remote, bit 6 CAN FD, bit 7 29-bit.
///   length byte (frames), then that many data bytes.
/// Frames 0 and 1 travel over the virtual bus from the peer; each record is delivered before the next.
/// With settle false the frames are only queued (for a request that waits inside its call).
void fuzzPlayFrames(
    FuzzInput &in, FuzzBus &bus, const QVector<quint32> &ids, int maxRecords = 48, bool settle = true);

/// Advances time until no timer runs or limit deadlines passed.
void fuzzRunOut(int limit = 64);

/// Aborts the process (a finding for the fuzzer) when an invariant is broken.
[[noreturn]] void fuzzFail(const char *what);
#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            fuzzFail(#cond);                                                                                 \
    } while (false)

/// Installs the virtual clock, creates the application and silences the library's logging, once.
void fuzzInit();
