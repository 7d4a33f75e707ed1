// Segmented SDO client: an upload or a (fast) download pending while arbitrary frames arrive.
#include "fuzzharness.h"
#include "sdosegmentedclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        SDOSegmentedClient client(0x585, 0x605, &bus.scheduler, nullptr);
        client.setSdoTimeout(100);
        int outcomes = 0;
        int received = 0;
        QObject::connect(&client, &SDOSegmentedClient::resultReceived, [&](quint16, quint8, QVariant v) {
            ++outcomes;
            received = v.toByteArray().size();
        });
        QObject::connect(&client, &SDOSegmentedClient::errorReceived, [&] { ++outcomes; });
        const quint8 setup = in.u8();
        CAN::RetType ret;
        if (setup & 0x80) {
            client.setFastSegmentedDownload(setup & 0x40, setup & 0x0F);
            ret = client.write(0x2000, 1, QByteArray(in.u8(), 'x'));
        } else {
            ret = client.read(0x1008, 0);
        }
        // Each received segment carries at most 7 bytes (4 for an expedited answer).
        int frames = 0;
        QObject::connect(&bus.adapter, &AbstractCanAdapter::messageReceived, [&] { ++frames; });
        fuzzPlayFrames(in, bus, { 0x585, 0x605, 0x586 });
        fuzzRunOut();
        FUZZ_CHECK(outcomes == (ret == CAN::RetType_OK ? 1 : 0));
        FUZZ_CHECK(received <= 7 * frames);
        FUZZ_CHECK(!client.isBusy());
    }
    fuzzRunOut();
    return 0;
}
