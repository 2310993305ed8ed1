// winsim stand-in: the NT driver kit header, a superset of wdm.h.
#pragma once
#include <wdm.h>
