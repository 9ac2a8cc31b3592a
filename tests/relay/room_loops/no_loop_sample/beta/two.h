#pragma once
#include "relay/helper.h"
#include "relay/beta/other.h"
