// ISO-TP reception: a request sent, the answer's single, first and consecutive frames arbitrary.
#include "fuzzharness.h"
#include "isotphandler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzInit();
    FuzzInput in(data, size);
    {
        FuzzBus bus;
        ISOTPHandler handler(&bus.scheduler);
        const quint8 setup = in.u8();
        if (setup & 1)
            handler.enableCANFD(true);
        handler.mRxExtAddressing = handler.mTxExtAddressing = setup & 2;
        int outcomes = 0;
        QObject::connect(&handler, &ISOTPHandler::dataReceived, [&] { ++outcomes; });
        QObject::connect(&handler, &ISOTPHandler::timeout, [&] { ++outcomes; });
        QObject::connect(&handler, &ISOTPHandler::error, [&] { ++outcomes; });
        QByteArray request = QByteArray::fromHex("22f190");
        const int ret = handler.startTransfer(request, true);
        fuzzPlayFrames(in, bus, { 0x7E8, 0x7E0, 0x7DF });
        fuzzRunOut();
        QByteArray received;
        handler.getReceivedData(received);
        FUZZ_CHECK(received.size() <= 64 * 48);
        FUZZ_CHECK(ret != 0 || outcomes >= 1);
    }
    fuzzRunOut();
    return 0;
}
