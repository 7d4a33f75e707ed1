// CiA 309 gateway answers: arbitrary text lines reach the services that use a gateway adapter
// (the EMCY consumer's "emcy" lines, NMT commands in flight, an LSS request and an SDO request).
#include "emcyconsumer.h"
#include "fuzzharness.h"
#include "lssmaster.h"
#include "nmtnetwork.h"
#include "nmtslave.h"
#include "sdoclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzGatewayAdapter adapter;
        CanScheduler scheduler(&adapter);
        EMCYConsumer consumer(0x85, &scheduler, nullptr);
        NMTSlave slave(5, &scheduler, nullptr);
        NMTNetwork network(&scheduler, nullptr);
        LSSMaster lss(&scheduler, nullptr);
        lss.setTimeout(20);
        SDOClient sdo(0x585, 0x605, &scheduler, nullptr);
        sdo.setSdoTimeout(20);
        int sdoOutcomes = 0, sdoOpErrors = 0;
        QObject::connect(&sdo, &SDOClient::resultReceived, [&] { ++sdoOutcomes; });
        QObject::connect(&sdo, &SDOClient::errorReceived, [&] { ++sdoOutcomes; });
        QObject::connect(&sdo, &SDOClient::opError, [&] { ++sdoOpErrors; });
        const quint8 setup = in.u8();
        slave.startNode();
        network.preop();
        switch (setup % 4) {
        case 0:
            lss.switchModeGlobal(LSSMaster::LssGlobalState_Configuration);
            break;
        case 1:
            lss.inquireNodeId();
            break;
        case 2:
            lss.fastScan(0, 0, 0, 0);
            break;
        case 3:
            lss.configureNodeId(quint8(setup >> 2));
            break;
        }
        const CAN::RetType sdoRet = (setup & 0x80) ? sdo.read(0x1008, 0, CAN::VISIBLE_STRING)
                                                   : sdo.read(0x1018, 1, CAN::UNSIGNED32);
        const QList<QByteArray> lines = in.rest().split('\n');
        for (const QByteArray &line : lines) {
            adapter.respond(QString::fromUtf8(line));
            fuzzSettle();
        }
        fuzzRunOut();
        if (sdoRet == CAN::RetType_OK)
            FUZZ_CHECK(sdoOutcomes + sdoOpErrors == 1);
        else
            FUZZ_CHECK(sdoOutcomes == 0 && sdoOpErrors <= 1);
    }
    fuzzRunOut();
    return 0;
}
