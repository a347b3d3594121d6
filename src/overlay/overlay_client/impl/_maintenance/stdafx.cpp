#include "overlay/overlay_client/impl/_maintenance/stdafx.h"
