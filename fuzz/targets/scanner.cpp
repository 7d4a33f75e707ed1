// Network scanner: the walk over the node-IDs with arbitrary SDO answers, with and without PDOs.
#include "canopennetworkscanner.h"
#include "fuzzharness.h"
#include "sdoclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        CANopenNetworkscanner scanner;
        int finished = 0;
        QObject::connect(&scanner, &CANopenNetworkscanner::sigFinished, [&] { ++finished; });
        const quint8 setup = in.u8();
        scanner.startScan(&bus.scheduler, setup & 1);
        fuzzPlayFrames(in, bus, { 0x581, 0x582, 0x583, 0x601, 0x5FF, 0x580 }, 96);
        if (setup & 2)
            scanner.stop();
        fuzzRunOut(512);
        FUZZ_CHECK(finished <= 1);
        FUZZ_CHECK((scanner.getCurrentState() == CANopenNetworkscanner::CS_Finished) == (finished == 1));
    }
    fuzzRunOut();
    return 0;
}
