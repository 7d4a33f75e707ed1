// EMCY consumer on CAN: arbitrary frames on its COB-ID and beside it.
#include "emcyconsumer.h"
#include "fuzzharness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        EMCYConsumer consumer(0x85, &bus.scheduler, nullptr);
        int emcys = 0;
        QObject::connect(&consumer, &EMCYConsumer::newEmcyData, [&] { ++emcys; });
        int frames = 0;
        QObject::connect(&bus.adapter, &AbstractCanAdapter::messageReceived,
            [&](const CAN::CanRxMessage &m) { frames += m.id == 0x85; });
        fuzzPlayFrames(in, bus, { 0x85, 0x86, 0x80 });
        FUZZ_CHECK(emcys <= frames);
    }
    fuzzRunOut();
    return 0;
}
