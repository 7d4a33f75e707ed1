// USDO expedited and segmented clients over CAN FD: unicast and broadcast uploads and downloads
// pending while arbitrary frames arrive.
#include "fuzzharness.h"
#include "usdoexpeditedclient.h"
#include "usdosegmentedclient.h"

namespace {
const CAN::CANopenDataType kTypes[] = { CAN::UNSIGNED8, CAN::INTEGER16, CAN::UNSIGNED32, CAN::REAL32,
    CAN::UNSIGNED40, CAN::UNSIGNED64, CAN::VISIBLE_STRING, CAN::OCTET_STRING, CAN::DOMAIN };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        const quint8 setup = in.u8();
        const bool broadcast = setup & 0x80;
        const quint8 node = broadcast ? 0 : 5;
        const CAN::CANopenDataType type = kTypes[in.u8() % (sizeof kTypes / sizeof kTypes[0])];
        USDOExpeditedClient expedited(0x29, node, &bus.scheduler, nullptr);
        USDOSegmentedClient segmented(0x29, node, &bus.scheduler, nullptr);
        expedited.setSdoTimeout(50);
        segmented.setSdoTimeout(50);
        int outcomes = 0;
        int received = 0;
        auto count = [&](USDOExpeditedClient *client) {
            QObject::connect(client, &USDOExpeditedClient::resultReceived, [&](quint16, quint8, QVariant v) {
                ++outcomes;
                received = v.toByteArray().size();
            });
            QObject::connect(client, &USDOExpeditedClient::errorReceived, [&] { ++outcomes; });
            QObject::connect(client, &USDOExpeditedClient::broadcastRequestFinished, [&] { ++outcomes; });
        };
        count(&expedited);
        count(&segmented);
        CAN::RetType ret = CAN::RetType_OK;
        switch (setup & 3) {
        case 0:
            ret = expedited.read(0x2000, 0, type);
            break;
        case 1:
            if (type == CAN::VISIBLE_STRING || type == CAN::OCTET_STRING || type == CAN::DOMAIN)
                ret = expedited.write(0x2000, 0, type, QByteArray(in.u8() % 64, 'x'));
            else
                ret = expedited.write(0x2000, 0, type, QVariant(in.u32()));
            break;
        case 2:
            ret = segmented.read(0x2000, 0, type);
            break;
        case 3:
            segmented.setFastSegmentedDownload(setup & 0x40, setup >> 2 & 0x0F);
            ret = segmented.write(0x2000, 0, type, QByteArray(in.u16() % 2048, 'x'));
            break;
        }
        // A received frame carries at most 64 bytes.
        int frames = 0;
        QObject::connect(&bus.adapter, &AbstractCanAdapter::messageReceived, [&] { ++frames; });
        fuzzPlayFrames(in, bus, { 0x585, 0x629, 0x586, 0x5A9, 0x601 });
        fuzzRunOut();
        FUZZ_CHECK(outcomes == (ret == CAN::RetType_OK ? 1 : 0));
        FUZZ_CHECK(received <= 64 * frames);
        FUZZ_CHECK(!expedited.isBusy() && !segmented.isBusy());
    }
    fuzzRunOut();
    return 0;
}
