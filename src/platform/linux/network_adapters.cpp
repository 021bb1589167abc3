#include "velmora/platform/linux/network_adapters.h"
