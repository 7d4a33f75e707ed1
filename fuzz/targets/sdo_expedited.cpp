// Expedited SDO client: an upload or download pending while arbitrary frames arrive.
#include "fuzzharness.h"
#include "sdoexpeditedclient.h"

static const CAN::CANopenDataType kTypes[] = { CAN::BOOLEAN, CAN::INTEGER8, CAN::INTEGER16, CAN::INTEGER32,
    CAN::UNSIGNED8, CAN::UNSIGNED16, CAN::UNSIGNED32, CAN::REAL32, CAN::INTEGER24, CAN::UNSIGNED24,
    CAN::VISIBLE_STRING, CAN::OCTET_STRING, CAN::DOMAIN, CAN::UNSIGNED64 };

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        SDOExpeditedClient client(0x585, 0x605, &bus.scheduler, nullptr);
        client.setSdoTimeout(100);
        int outcomes = 0;
        QObject::connect(&client, &SDOExpeditedClient::resultReceived, [&] { ++outcomes; });
        QObject::connect(&client, &SDOExpeditedClient::errorReceived, [&] { ++outcomes; });
        const quint8 setup = in.u8();
        const CAN::CANopenDataType type = kTypes[(setup & 0x7F) % (sizeof kTypes / sizeof *kTypes)];
        const CAN::RetType ret = (setup & 0x80) ? client.write(0x2000, 1, type, QVariant(in.u32()))
                                                : client.read(0x1018, 1, type);
        fuzzPlayFrames(in, bus, { 0x585, 0x605, 0x586, 0x705 });
        fuzzRunOut();
        FUZZ_CHECK(outcomes == (ret == CAN::RetType_OK ? 1 : 0));
        FUZZ_CHECK(!client.isBusy());
    }
    fuzzRunOut();
    return 0;
}
