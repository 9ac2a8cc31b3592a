#pragma once
#include "relay/beta/two.h"
#include "relay/helper.h"
