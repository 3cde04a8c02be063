#pragma once

#include "private_bus.h"
