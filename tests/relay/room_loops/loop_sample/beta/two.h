#pragma once
#include "relay/gamma/three.h"
