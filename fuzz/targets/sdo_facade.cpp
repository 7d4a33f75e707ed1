// SDO client facade: the protocol choice by data type, and SDO routing through a gateway node
// (the network indication and its confirmation or abort), with arbitrary frames.
#include "fuzzharness.h"
#include "sdoclient.h"

static const CAN::CANopenDataType kTypes[] = { CAN::BOOLEAN, CAN::INTEGER16, CAN::UNSIGNED32, CAN::REAL64,
    CAN::VISIBLE_STRING, CAN::OCTET_STRING, CAN::DOMAIN, CAN::UNSIGNED64, CAN::UNICODE_STRING };

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        SDOClient client(0x585, 0x605, &bus.scheduler, nullptr);
        client.setSdoTimeout(50);
        int results = 0, errors = 0, opErrors = 0;
        QObject::connect(&client, &SDOClient::resultReceived, [&] { ++results; });
        QObject::connect(&client, &SDOClient::errorReceived, [&] { ++errors; });
        QObject::connect(&client, &SDOClient::opError, [&] { ++opErrors; });
        const quint8 setup = in.u8();
        const CAN::CANopenDataType type = kTypes[(setup & 0x3F) % (sizeof kTypes / sizeof *kTypes)];
        const bool routing = setup & 0x40;
        client.setRouting(routing ? 2 : 0, 3);
        if (routing) // the answers are on the bus before the request waits for them
            fuzzPlayFrames(in, bus, { 0x583, 0x585, 0x603 }, in.u8() % 4, false);
        const CAN::RetType ret = (setup & 0x80)
            ? client.write(0x2000, 1, type, QVariant(in.bytes(in.u8() % 40)))
            : client.read(0x1018, 1, type);
        fuzzPlayFrames(in, bus, { 0x585, 0x583, 0x605, 0x603 });
        fuzzRunOut();
        client.setRouting(0, 0);
        // A started transfer ends in one outcome; a refused start reports at most its opError, a
        // failed routing request its opError at once and the error code 100 ms later.
        if (ret == CAN::RetType_OK)
            FUZZ_CHECK(results + errors + opErrors == 1);
        else if (routing && ret == CAN::RetType_NoLink && opErrors == 1)
            FUZZ_CHECK(errors == 1 && results == 0);
        else
            FUZZ_CHECK(results + errors == 0 && opErrors <= 1);
        FUZZ_CHECK(!client.isBusy());
    }
    fuzzRunOut();
    return 0;
}
