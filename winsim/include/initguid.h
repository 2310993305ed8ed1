// winsim stand-in: makes the following DEFINE_GUIDs define their GUIDs.
#define INITGUID
#include <guiddef.h>
