// winsim stand-in: the USB 1.x definitions, which Windows now keeps in
// <usbspec.h>.
#pragma once
#ifndef WINSIM_USB100_H
#define WINSIM_USB100_H
#include <usbspec.h>
#endif
