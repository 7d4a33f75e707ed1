#pragma once

#include <QMetaType>

namespace CAN {

/// Data type of an object-dictionary entry: the CiA 301 data type index. The SDO client picks
/// the transfer protocol and the value conversion from it. Values 0, 14 and 23 have no name
/// (no type, reserved); values above 27 are not transferable by classic SDO.
enum CANopenDataType : int {
    BOOLEAN = 1,
    INTEGER8 = 2,
    INTEGER16 = 3,
    INTEGER32 = 4,
    UNSIGNED8 = 5,
    UNSIGNED16 = 6,
    UNSIGNED32 = 7,
    REAL32 = 8,
    VISIBLE_STRING = 9,
    OCTET_STRING = 10,
    UNICODE_STRING = 11,
    TIME_OF_DAY = 12,
    TIME_DIFFERENCE = 13,
    DOMAIN = 15,
    INTEGER24 = 16,
    REAL64 = 17,
    INTEGER40 = 18,
    INTEGER48 = 19,
    INTEGER56 = 20,
    INTEGER64 = 21,
    UNSIGNED24 = 22,
    UNSIGNED40 = 24,
    UNSIGNED48 = 25,
    UNSIGNED56 = 26,
    UNSIGNED64 = 27,
};

} // namespace CAN

Q_DECLARE_METATYPE(CAN::CANopenDataType)
