#pragma once
#include <string>
#include "relay/alpha/one.h"
#include "relay/helper.h"
