// UDS client: a service request pending while arbitrary ISO-TP frames answer (positive and
// negative responses, response pending, answers to other services).
#include "fuzzharness.h"
#include "udsclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        UDSClient client(&bus.scheduler);
        client.setResponseTimeout(100);
        // A negative response gives error(nrc) and then response(); an answer that arrives with no
        // request outstanding is a response too.
        int outcomes = 0, negatives = 0, responses = 0;
        QObject::connect(&client, &UDSClient::response, [&] { ++outcomes, ++responses; });
        QObject::connect(&client, &UDSClient::error, [&] { ++negatives; });
        QObject::connect(&client, &UDSClient::timeout, [&] { ++outcomes; });
        const quint8 setup = in.u8();
        if (setup & 0x80)
            client.setCANFD(true);
        CAN::RetType ret = CAN::RetType_OK;
        switch (setup % 10) {
        case 0:
            ret = client.DiagnosticSessionControl(in.u8());
            break;
        case 1:
            ret = client.ReadDataByIdentifers({ 0xF190, in.u16() });
            break;
        case 2:
            ret = client.ReadDTCInformation(in.u8(), in.bytes(2));
            break;
        case 3:
            ret = client.SecurityAccess(in.u8() | 1, QByteArray(), false);
            break;
        case 4:
            ret = client.RequestDownload(0, 4, 4, 0x10000, in.u32());
            break;
        case 5:
            ret = client.RequestUpload(0, 4, 4, 0x10000, in.u32());
            break;
        case 6:
            ret = client.TransferData(in.u8(), in.bytes(in.u8()));
            break;
        case 7:
            ret = client.RoutineControl(1, in.u16(), in.bytes(4), false);
            break;
        case 8:
            ret = client.ReadMemoryByAddress(2, 4, in.u32(), in.u16());
            break;
        case 9:
            ret = client.WriteDataByIdentifer(in.u16(), in.bytes(in.u8() % 100));
            break;
        }
        fuzzPlayFrames(in, bus, { 0x7E8, 0x7E0 });
        fuzzRunOut();
        FUZZ_CHECK(ret != CAN::RetType_OK || outcomes >= 1);
        FUZZ_CHECK(negatives <= responses);
        FUZZ_CHECK(!client.isBusy());
        FUZZ_CHECK(client.getResponseData().size() <= 64 * 96);
    }
    fuzzRunOut();
    return 0;
}
