// A room that includes the next; with gamma it closes a loop for the check to find.
#pragma once
#include "relay/beta/two.h"
