#pragma once

#include "canopendatatype.h"

#include <QString>
#include <QVariant>

// Object-dictionary values on the command line: type names, parsing and printing.

/// The type names the tool accepts (u8, i16, string, ...), comma-separated.
QString typeNames();
/// A type name of the command line; false when unknown.
bool parseType(const QString &text, CAN::CANopenDataType *type);
/// The command-line name of a type, or "type N" for a type without one.
QString typeName(CAN::CANopenDataType type);
bool isSigned(CAN::CANopenDataType type);
/// Integer and boolean types (printed as numbers).
bool isInteger(CAN::CANopenDataType type);
/// Bits of an integer type (1 for BOOLEAN); 0 for the others.
int bitsOf(CAN::CANopenDataType type);
/// The type to ask the SDO client for: types classic SDO cannot carry by themselves
/// (INTEGER40, REAL64, ...) are read and written as their bytes (DOMAIN).
CAN::CANopenDataType wireType(CAN::CANopenDataType type);
/// The QVariant the SDO client expects for a value written as text (decimal or 0x-hex numbers,
/// hex bytes for octets and domains); false when the text is not a value of the type.
bool parseValue(const QString &text, CAN::CANopenDataType type, QVariant *value);
/// A value read from a device as text: numbers in decimal (unsigned ones with their hex
/// beside), strings as text, bytes in hex.
QString formatValue(const QVariant &value, CAN::CANopenDataType type);
