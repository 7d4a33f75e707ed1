// CiA 309 gateway answers to SDOCiA309Client (every type, reads and writes, Base64 domains over
// one or several lines) and to the LSS master over the gateway (every request and scan).
#include "fuzzharness.h"
#include "lssmaster.h"
#include "sdocia309client.h"

namespace {
const CAN::CANopenDataType kTypes[]
    = { CAN::BOOLEAN, CAN::INTEGER8, CAN::INTEGER16, CAN::UNSIGNED32, CAN::INTEGER64, CAN::UNSIGNED64,
          CAN::REAL32, CAN::REAL64, CAN::VISIBLE_STRING, CAN::OCTET_STRING, CAN::DOMAIN };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzGatewayAdapter adapter;
        CanScheduler scheduler(&adapter);
        SDOCiA309Client sdo(&scheduler, nullptr);
        sdo.setSdoTimeout(20);
        LSSMaster lss(&scheduler, nullptr);
        lss.setTimeout(20);
        int sdoOutcomes = 0;
        QObject::connect(&sdo, &SDOCiA309Client::resultReceived, [&] { ++sdoOutcomes; });
        QObject::connect(&sdo, &SDOCiA309Client::errorReceived, [&] { ++sdoOutcomes; });
        int lssOutcomes = 0;
        QObject::connect(&lss, &LSSMaster::lssResult, [&](LSSMaster::LssAction action) {
            lssOutcomes += action != LSSMaster::LssAction_IdentifyNonConfigSlaves;
        });
        const quint8 setup = in.u8();
        const quint8 pick = in.u8();
        const CAN::CANopenDataType type = kTypes[pick % (sizeof kTypes / sizeof kTypes[0])];
        CAN::RetType sdoRet;
        if (pick & 0x80) {
            const QVariant value
                = (type == CAN::VISIBLE_STRING || type == CAN::OCTET_STRING || type == CAN::DOMAIN)
                ? QVariant(QByteArray(in.u8(), 'x'))
                : QVariant(in.u32());
            sdoRet = sdo.write(5, 0x2000, 1, type, value);
        } else {
            sdoRet = sdo.read(5, 0x2000, 1, type);
        }
        // Records: the rest is split at 0x00 into texts, each handed over as one answer (so one
        // text may hold several lines), bounded in count. The LSS requests over a gateway wait
        // inside their call: the texts are queued first and arrive during that wait.
        const QList<QByteArray> texts = in.rest().split('\0');
        int played = 0;
        for (const QByteArray &text : texts) {
            if (++played > 64)
                break;
            QMetaObject::invokeMethod(
                &adapter, [&adapter, text] { adapter.respond(QString::fromUtf8(text)); },
                Qt::QueuedConnection);
        }
        CAN::RetType lssRet = CAN::RetType_OK;
        const int action = setup % 10;
        switch (action) {
        case 0:
            lssRet = lss.switchModeGlobal(LSSMaster::LssGlobalState(setup >> 7));
            break;
        case 1:
            lssRet = lss.switchModeSelective(1, 2, 3, 4);
            break;
        case 2:
            lssRet = lss.configureNodeId(quint8(setup >> 4));
            break;
        case 3:
            lssRet = lss.storeConfiguration();
            break;
        case 4:
            lssRet = lss.identifyNonConfigSlaves();
            break;
        case 5:
            lssRet = lss.inquireNodeId();
            break;
        case 6:
            lssRet = lss.activateBitTiming(100);
            break;
        case 7:
            lssRet = lss.configureBitTiming(0, quint8(setup >> 4));
            break;
        case 8:
            lssRet = lss.fastScan(0, 0, 0, 0);
            break;
        case 9:
            lssRet = lss.classicalScan(0, 0);
            break;
        }
        fuzzRunOut(512);
        FUZZ_CHECK(sdoOutcomes == (sdoRet == CAN::RetType_OK ? 1 : 0));
        FUZZ_CHECK(!sdo.isBusy());
        // A request over the gateway ends inside its call: at most one result of its own.
        FUZZ_CHECK(lssOutcomes <= 1 || action >= 8);
        Q_UNUSED(lssRet);
        lss.abortClassicalScan();
    }
    fuzzRunOut();
    return 0;
}
