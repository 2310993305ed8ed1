// Private interface of the recording serial test driver. A test reads back the
// serial control requests the port received (the driver is a separate image
// and shares no memory with the test) and scripts how the port answers them.
#pragma once

#ifndef CTL_CODE
#include <winioctl.h>
#endif

#define RECORDER_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

// Output RECORDER_LOG: the serial requests received since the last call.
#define IOCTL_RECORDER_TAKE_LOG RECORDER_CODE(0)
// Input RECORDER_ANSWER: how requests with its code are answered from now on;
// an answer with code 0 forgets every scripted answer.
#define IOCTL_RECORDER_SCRIPT RECORDER_CODE(1)
// Input RECORDER_ANSWER (its code and How ignored): completes every held request with it.
#define IOCTL_RECORDER_RELEASE RECORDER_CODE(2)
// Output ULONG: how many requests are held.
#define IOCTL_RECORDER_HELD_COUNT RECORDER_CODE(3)

#define RECORDER_INPUT_BYTES 24
typedef struct _RECORDED_REQUEST {
    ULONG IoControlCode;
    ULONG InputLength;
    ULONG OutputLength;
    UCHAR Input[RECORDER_INPUT_BYTES];  // the first bytes of the input buffer
} RECORDED_REQUEST;

#define RECORDER_LOG_CAPACITY 32
typedef struct _RECORDER_LOG {
    ULONG Count;
    ULONG Dropped;  // requests received after the log was full
    RECORDED_REQUEST Requests[RECORDER_LOG_CAPACITY];
} RECORDER_LOG;

// How a scripted answer is given.
#define RECORDER_COMPLETE_INLINE 0  // completed by the dispatch routine
#define RECORDER_COMPLETE_LATER 1   // pended, then completed from a system worker thread
#define RECORDER_HOLD 2             // pended until released, cancelled or the handle is cleaned up

#define RECORDER_OUTPUT_BYTES 64
typedef struct _RECORDER_ANSWER {
    ULONG IoControlCode;
    ULONG How;
    LONG Status;
    ULONG Information;                     // bytes of Output returned
    ULONG Times;                           // requests answered so before it is forgotten; 0: all
    UCHAR Output[RECORDER_OUTPUT_BYTES];
} RECORDER_ANSWER;
