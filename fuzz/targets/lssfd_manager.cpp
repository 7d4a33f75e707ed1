// LSS FD manager: every request and the FD scan (from any start step) with arbitrary answers on
// the LSS answer identifier and the scan identifiers 0x7D0..0x7DF.
#include "lssfd_manager.h"
#include "fuzzharness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        LSSFD_Manager manager(&bus.scheduler, nullptr);
        manager.setTimeout(20);
        int outcomes = 0, stray = 0;
        LSSFD_Manager::LssAction started = LSSFD_Manager::LssAction_None;
        QObject::connect(&manager, &LSSFD_Manager::lssfdResult,
            [&](LSSFD_Manager::LssAction action) { (action == started ? outcomes : stray) += 1; });
        const quint8 setup = in.u8();
        const quint32 a = in.u32(), b = in.u32();
        CAN::RetType ret = CAN::RetType_OK;
        bool answered = true; // the request waits for an answer or a time-out
        switch (setup % 11) {
        case 0:
            started = LSSFD_Manager::LssAction_SwitchModeGlobal;
            ret = manager.switchModeGlobal(LSSFD_Manager::LssGlobalState(setup >> 4 & 3),
                LSSFD_Manager::FDProtocolVersion(setup >> 6 & 1));
            answered = false;
            break;
        case 1:
            started = LSSFD_Manager::LssAction_SwitchModeSelective;
            ret = manager.switchModeSelective(
                setup & 0x80, a, b, in.u32(), in.u32(), quint8(setup >> 4), quint8(in.u8() & 0x0F));
            break;
        case 2:
            started = LSSFD_Manager::LssAction_ConfigureNodeIdAndNetworkId;
            ret = manager.configureNodeIdAndNetworkId(quint8(a), quint8(b));
            break;
        case 3:
            started = LSSFD_Manager::LssAction_ConfigureBitTiming;
            ret = manager.configureBitTiming(quint8(a), quint8(b));
            break;
        case 4:
            started = LSSFD_Manager::LssAction_ActivateBitTiming;
            ret = manager.activateBitTiming(quint16(a));
            answered = false;
            break;
        case 5:
            started = LSSFD_Manager::LssAction_StoreConfiguration;
            ret = manager.storeConfiguration();
            break;
        case 6:
            started = LSSFD_Manager::LssAction_InquireNodeId;
            ret = manager.inquireNodeId();
            break;
        case 7:
            started = LSSFD_Manager::LssAction_InquireLssAddress;
            ret = manager.inquireLssAddress();
            break;
        case 8:
            started = LSSFD_Manager::LssAction_IdentifyNonConfigSlaves;
            ret = manager.identifyNonConfigSlaves();
            break;
        case 9:
            started = LSSFD_Manager::LssAction_FdScan;
            ret = manager.fdScan(
                LSSFD_Manager::FDScanMode(setup & 0x80 ? 2 : 0), quint8(1 + (setup >> 4) % 8));
            break;
        case 10:
            started = LSSFD_Manager::LssAction_FdScan;
            ret = manager.fdScanKnownDevices(LSSFD_Manager::FDScanMode(setup & 0x80 ? 2 : 0), a, b, in.u32(),
                in.u32(), in.u8() % 34, quint8(1 + (setup >> 4) % 8));
            break;
        }
        fuzzPlayFrames(in, bus, { 0x7E4, 0x7D0, 0x7D5, 0x7DF, 0x7E5, 0x7D9, 0x7DA, 0x7E4 });
        fuzzRunOut(512);
        FUZZ_CHECK(stray == 0);
        if (answered)
            FUZZ_CHECK(outcomes == (ret == CAN::RetType_OK ? 1 : 0));
        else
            FUZZ_CHECK(outcomes == 0);
    }
    fuzzRunOut();
    return 0;
}
