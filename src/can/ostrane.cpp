#include "canmessage.h"
#include "canrxmessage.h"
#include "cantypes.h"

#include <QMetaType>

static void registerOstraneTypes()
{
    qRegisterMetaType<CAN::CanMessage>("CAN::CanMessage");
    qRegisterMetaType<CAN::CanRxMessage>("CAN::CanRxMessage");
    qRegisterMetaType<CanTimeStamp>("CanTimeStamp");
    qRegisterMetaType<CAN::CyclicState>("CAN::CyclicState");
    qRegisterMetaType<CAN::RetType>("CAN::RetType");
}
Q_CONSTRUCTOR_FUNCTION(registerOstraneTypes)
