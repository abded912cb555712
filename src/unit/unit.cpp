#include "unit/unit.h"

UnitState Unit;
