#include "tarnwick.h"

Tarnwick::Tarnwick() = default;
