// LSS master over CAN: every request, fastscan and the classical scan, with arbitrary answers.
#include "fuzzharness.h"
#include "lssmaster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        LSSMaster master(&bus.scheduler, nullptr);
        master.setTimeout(20);
        // An answer 0x50 (a non-configured slave) reports an identification whatever is pending:
        // only the results of other actions count as outcomes of the request.
        int outcomes = 0;
        QObject::connect(&master, &LSSMaster::lssResult, [&](LSSMaster::LssAction action) {
            outcomes += action != LSSMaster::LssAction_IdentifyNonConfigSlaves;
        });
        const quint8 setup = in.u8();
        const quint32 a = in.u32(), b = in.u32();
        CAN::RetType ret = CAN::RetType_OK;
        bool scan = false; // and the requests without an answer of their own
        const int action = setup % 12;
        switch (action) {
        case 0:
            ret = master.switchModeGlobal(LSSMaster::LssGlobalState(setup >> 7));
            break;
        case 1:
            ret = master.switchModeSelective(a, b, in.u32(), in.u32());
            break;
        case 2:
            ret = master.configureNodeId(quint8(a));
            break;
        case 3:
            ret = master.storeConfiguration();
            break;
        case 4:
            ret = master.identifyNonConfigSlaves();
            break;
        case 5:
            ret = master.inquireNodeId();
            break;
        case 6:
            ret = master.activateBitTiming(quint16(a));
            break;
        case 7:
            ret = master.configureBitTiming(quint8(a), quint8(b));
            break;
        case 8:
        case 9:
            ret = master.fastScan(a, b, in.u32(), in.u32(), setup & 0x80);
            scan = true;
            break;
        case 10:
            ret = master.classicalScan(a, b);
            scan = true;
            break;
        case 11:
            ret = master.classicalScan(a, b, in.u32() % 4, in.u32() % 4, in.u32() % 4, in.u32() % 4);
            scan = true;
            break;
        }
        fuzzPlayFrames(in, bus, { 0x7E4, 0x7E5 });
        fuzzRunOut(512);
        if (!scan && action != 0 && action != 4)
            FUZZ_CHECK(outcomes == (ret == CAN::RetType_OK ? 1 : 0));
        master.abortClassicalScan();
    }
    fuzzRunOut();
    return 0;
}
