#include "port/hand_off.h"

bool TransferFailed = false;
