// USDO bulk client: a bulk download of up to 8 KiB pending while arbitrary answers arrive.
#include "fuzzharness.h"
#include "usdobulkclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        USDOBulkClient client(0x29, 5, &bus.scheduler, nullptr);
        client.setSdoTimeout(50);
        int outcomes = 0;
        QObject::connect(&client, &USDOBulkClient::resultReceived, [&] { ++outcomes; });
        QObject::connect(&client, &USDOBulkClient::errorReceived, [&] { ++outcomes; });
        const quint16 length = in.u16() % 8192;
        const CAN::RetType ret = client.write(0x1F50, 1, CAN::DOMAIN, QByteArray(length, 'a'));
        fuzzPlayFrames(in, bus, { 0x585, 0x629, 0x586, 0x5A9 });
        fuzzRunOut(512);
        FUZZ_CHECK(outcomes == (ret == CAN::RetType_OK ? 1 : 0));
        FUZZ_CHECK(!client.isBusy());
    }
    fuzzRunOut();
    return 0;
}
