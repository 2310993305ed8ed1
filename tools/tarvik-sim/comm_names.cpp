// The flag tables (see comm_names.h).
#include "comm_names.h"

#include <windows.h>

#include <strings.h>

namespace tarvik::sim {

const std::vector<FlagName> kEventFlags = {
    {EV_RXCHAR, "rxchar", "EV_RXCHAR"}, {EV_RXFLAG, "rxflag", "EV_RXFLAG"}, {EV_TXEMPTY, "txempty", "EV_TXEMPTY"},
    {EV_CTS, "cts", "EV_CTS"},          {EV_DSR, "dsr", "EV_DSR"},          {EV_RLSD, "rlsd", "EV_RLSD"},
    {EV_BREAK, "break", "EV_BREAK"},    {EV_ERR, "err", "EV_ERR"},          {EV_RING, "ring", "EV_RING"},
    {EV_PERR, "perr", "EV_PERR"},       {EV_RX80FULL, "rx80full", "EV_RX80FULL"},
    {EV_EVENT1, "event1", "EV_EVENT1"}, {EV_EVENT2, "event2", "EV_EVENT2"},
};

const std::vector<FlagName> kModemFlags = {
    {MS_CTS_ON, "cts", "MS_CTS_ON"},
    {MS_DSR_ON, "dsr", "MS_DSR_ON"},
    {MS_RING_ON, "ring", "MS_RING_ON"},
    {MS_RLSD_ON, "rlsd", "MS_RLSD_ON"},
};

const std::vector<FlagName> kPurgeFlags = {
    {PURGE_TXABORT, "txabort", "PURGE_TXABORT"},
    {PURGE_RXABORT, "rxabort", "PURGE_RXABORT"},
    {PURGE_TXCLEAR, "txclear", "PURGE_TXCLEAR"},
    {PURGE_RXCLEAR, "rxclear", "PURGE_RXCLEAR"},
};

const std::vector<FlagName> kCommErrors = {
    {CE_RXOVER, "rxover", "CE_RXOVER"}, {CE_OVERRUN, "overrun", "CE_OVERRUN"},
    {CE_RXPARITY, "rxparity", "CE_RXPARITY"}, {CE_FRAME, "frame", "CE_FRAME"},
    {CE_BREAK, "break", "CE_BREAK"},    {CE_TXFULL, "txfull", "CE_TXFULL"},
};

const std::vector<FlagName> kEscapeFunctions = {
    {SETXOFF, "setxoff", "SETXOFF"}, {SETXON, "setxon", "SETXON"},       {SETRTS, "setrts", "SETRTS"},
    {CLRRTS, "clrrts", "CLRRTS"},    {SETDTR, "setdtr", "SETDTR"},       {CLRDTR, "clrdtr", "CLRDTR"},
    {RESETDEV, "resetdev", "RESETDEV"}, {SETBREAK, "setbreak", "SETBREAK"}, {CLRBREAK, "clrbreak", "CLRBREAK"},
};

const std::vector<FlagName> kParities = {
    {NOPARITY, "none", "NOPARITY"},   {ODDPARITY, "odd", "ODDPARITY"},       {EVENPARITY, "even", "EVENPARITY"},
    {MARKPARITY, "mark", "MARKPARITY"}, {SPACEPARITY, "space", "SPACEPARITY"},
};

std::string FlagsText(unsigned long value, const std::vector<FlagName> &table)
{
    std::string text;
    for (const FlagName &f : table) {
        if ((value & f.value) == f.value && f.value != 0) {
            text += (text.empty() ? "" : "|") + std::string(f.api);
            value &= ~f.value;
        }
    }
    if (value != 0) {
        char rest[24];
        snprintf(rest, sizeof rest, "0x%lX", value);
        text += (text.empty() ? "" : "|") + std::string(rest);
    }
    return text.empty() ? "none" : text;
}

std::optional<unsigned long> FlagValue(const std::string &word, const std::vector<FlagName> &table)
{
    for (const FlagName &f : table)
        if (strcasecmp(word.c_str(), f.name) == 0 || word == f.api)
            return f.value;
    return std::nullopt;
}

std::string FlagWords(const std::vector<FlagName> &table)
{
    std::string words;
    for (const FlagName &f : table)
        words += (words.empty() ? "" : ", ") + std::string(f.name);
    return words;
}

}  // namespace tarvik::sim
