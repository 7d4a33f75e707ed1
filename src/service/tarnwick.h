#pragma once

#include "tarnwick_export.h"

/// Marker class named after the library; it carries no data and no behaviour.
class TARNWICK_EXPORT Tarnwick
{
public:
    Tarnwick();
};
