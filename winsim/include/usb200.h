// winsim stand-in: the USB 2.0 definitions, which Windows now keeps in
// <usbspec.h>.
#pragma once
#ifndef WINSIM_USB200_H
#define WINSIM_USB200_H
#include <usb100.h>
#endif
