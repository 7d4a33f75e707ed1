// Block SDO client: a block upload or download pending while arbitrary frames arrive.
#include "fuzzharness.h"
#include "sdoblockclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        SDOBlockClient client(0x585, 0x605, &bus.scheduler, nullptr);
        client.setSdoTimeout(100);
        int outcomes = 0;
        QObject::connect(&client, &SDOBlockClient::resultReceived, [&] { ++outcomes; });
        QObject::connect(&client, &SDOBlockClient::errorReceived, [&] { ++outcomes; });
        QObject::connect(&client, &SDOBlockClient::errorOccured, [&] { ++outcomes; });
        const quint8 setup = in.u8();
        client.setBlockSize(quint8(1 + (setup & 0x7F) % 127));
        const CAN::RetType ret = (setup & 0x80) ? client.write(0x2000, 1, QByteArray(in.u16() % 2000, 'b'))
                                                : client.read(0x2000, 1);
        fuzzPlayFrames(in, bus, { 0x585, 0x605, 0x586 });
        fuzzRunOut();
        FUZZ_CHECK(outcomes == (ret == CAN::RetType_OK ? 1 : 0));
        FUZZ_CHECK(!client.isBusy());
    }
    fuzzRunOut();
    return 0;
}
