// Node supervision: heartbeat consumption or node guarding of node 5 with arbitrary frames.
#include "fuzzharness.h"
#include "nmtslave.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        NMTSlave slave(5, &bus.scheduler, nullptr);
        const quint8 setup = in.u8();
        const quint16 time = quint16(in.u8() + 1);
        if (setup & 1)
            slave.startNodeGuarding(time, quint8(in.u8() % 8));
        else
            slave.startHeartbeatMonitoring(time);
        if (setup & 2)
            slave.startNode();
        fuzzPlayFrames(in, bus, { 0x705, 0x000, 0x605 });
        FUZZ_CHECK(slave.getCurrentNodeState() <= NMTSlave::NmtState_Stopped);
        FUZZ_CHECK(slave.getLastState() <= NMTSlave::HeartbeatGuardingState_NG_ToggleBitError);
        fuzzRunOut(8);
        slave.stopNodeGuarding();
    }
    fuzzRunOut();
    return 0;
}
