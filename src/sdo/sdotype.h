#pragma once

#include <QMetaType>

/// The transfer protocol of an SDO request, as SDOClient::getSdoTypefromDataType chooses it
/// and as SDOClient remembers it for the transfer in progress.
enum SdoType : int {
    SdoType_None = 0, ///< not transferable in classic mode
    SdoType_Routing = 1, ///< waiting for the gateway's answer to an SDO network indication
    SdoType_Expedited = 2, ///< classic expedited SDO
    SdoType_Segmented = 3, ///< classic segmented SDO
    SdoType_UsdoExpedited = 4, ///< USDO expedited (CANopen FD)
    SdoType_UsdoSegmented = 5, ///< USDO segmented (CANopen FD)
    SdoType_UsdoBulk = 6, ///< USDO bulk (CANopen FD)
    SdoType_Block = 7, ///< classic block SDO
    SdoType_CiA309 = 8, ///< transfer through a CiA 309 ASCII gateway
};

Q_DECLARE_METATYPE(SdoType)
