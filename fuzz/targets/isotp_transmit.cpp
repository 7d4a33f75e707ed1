// ISO-TP transmission: a segmented message sent, the flow control frames arbitrary (block sizes,
// separation times, wait and overflow, wrong flow status).
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
        handler.mIgnoreSTmin = setup & 2;
        int outcomes = 0;
        QObject::connect(&handler, &ISOTPHandler::dataReceived, [&] { ++outcomes; });
        QObject::connect(&handler, &ISOTPHandler::timeout, [&] { ++outcomes; });
        QObject::connect(&handler, &ISOTPHandler::error, [&] { ++outcomes; });
        QByteArray request(8 + in.u16() % 5000, '\x36');
        const int ret = handler.startTransfer(request, setup & 4);
        fuzzPlayFrames(in, bus, { 0x7E8, 0x7E0 });
        fuzzRunOut(256);
        FUZZ_CHECK(ret != 0 || outcomes >= 1 || !(setup & 4));
    }
    fuzzRunOut();
    return 0;
}
