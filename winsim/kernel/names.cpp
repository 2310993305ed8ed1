// Names of major and minor functions, control codes and statuses, for trace
// lines and verifier reports, and the trace sink itself.
#include "irp.h"

#include <ntddser.h>

#include <map>

namespace winsim {
namespace {

struct StatusEntry {
    NTSTATUS value;
    const char *name;
};
const StatusEntry kStatusNames[] = {
#include "status_names.inc"
};

std::mutex g_namesLock;
std::map<ULONG, std::string> &ControlNames()
{
    static std::map<ULONG, std::string> names = {
#define SERIAL_NAME(n) {IOCTL_SERIAL_##n, "IOCTL_SERIAL_" #n}
        SERIAL_NAME(SET_BAUD_RATE), SERIAL_NAME(SET_QUEUE_SIZE), SERIAL_NAME(SET_LINE_CONTROL),
        SERIAL_NAME(SET_BREAK_ON), SERIAL_NAME(SET_BREAK_OFF), SERIAL_NAME(IMMEDIATE_CHAR),
        SERIAL_NAME(SET_TIMEOUTS), SERIAL_NAME(GET_TIMEOUTS), SERIAL_NAME(SET_DTR), SERIAL_NAME(CLR_DTR),
        SERIAL_NAME(RESET_DEVICE), SERIAL_NAME(SET_RTS), SERIAL_NAME(CLR_RTS), SERIAL_NAME(SET_XOFF),
        SERIAL_NAME(SET_XON), SERIAL_NAME(GET_WAIT_MASK), SERIAL_NAME(SET_WAIT_MASK), SERIAL_NAME(WAIT_ON_MASK),
        SERIAL_NAME(PURGE), SERIAL_NAME(GET_BAUD_RATE), SERIAL_NAME(GET_LINE_CONTROL), SERIAL_NAME(GET_CHARS),
        SERIAL_NAME(SET_CHARS), SERIAL_NAME(GET_HANDFLOW), SERIAL_NAME(SET_HANDFLOW), SERIAL_NAME(GET_MODEMSTATUS),
        SERIAL_NAME(GET_COMMSTATUS), SERIAL_NAME(XOFF_COUNTER), SERIAL_NAME(GET_PROPERTIES), SERIAL_NAME(GET_DTRRTS),
        SERIAL_NAME(LSRMST_INSERT), SERIAL_NAME(CONFIG_SIZE), SERIAL_NAME(GET_COMMCONFIG),
        SERIAL_NAME(SET_COMMCONFIG), SERIAL_NAME(GET_STATS), SERIAL_NAME(CLEAR_STATS),
        SERIAL_NAME(GET_MODEM_CONTROL), SERIAL_NAME(SET_MODEM_CONTROL), SERIAL_NAME(SET_FIFO_CONTROL),
#undef SERIAL_NAME
    };
    return names;
}

TraceSink g_traceSink;
std::atomic<bool> g_tracing{false};
std::mutex g_traceLock;

}  // namespace

std::string StatusName(NTSTATUS status)
{
    for (const auto &entry : kStatusNames)
        if (entry.value == status)
            return entry.name;
    char buf[32];
    snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

void RegisterIoControlName(ULONG code, const std::string &name)
{
    std::lock_guard<std::mutex> lock(g_namesLock);
    ControlNames()[code] = name;
}

std::string IoControlName(ULONG code, const char *fallback)
{
    std::lock_guard<std::mutex> lock(g_namesLock);
    auto it = ControlNames().find(code);
    return it == ControlNames().end() ? fallback : it->second;
}

const char *MajorName(UCHAR major)
{
    static const char *const names[] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP",
    };
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_?";
}

const char *PnpMinorName(UCHAR minor)
{
    static const char *const names[] = {
        "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE",
        "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE", "IRP_MN_QUERY_CAPABILITIES",
        "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "IRP_MN_0x0E", "IRP_MN_READ_CONFIG", "IRP_MN_WRITE_CONFIG",
        "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID", "IRP_MN_QUERY_PNP_DEVICE_STATE",
        "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL",
        "IRP_MN_QUERY_LEGACY_BUS_INFORMATION", "IRP_MN_DEVICE_ENUMERATED",
    };
    return minor < sizeof names / sizeof names[0] ? names[minor] : "IRP_MN_?";
}

const char *PowerMinorName(UCHAR minor)
{
    static const char *const names[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                        "IRP_MN_QUERY_POWER"};
    return minor < 4 ? names[minor] : "IRP_MN_?";
}

void SetTraceSink(TraceSink sink)
{
    std::lock_guard<std::mutex> lock(g_traceLock);
    g_traceSink = std::move(sink);
    g_tracing = static_cast<bool>(g_traceSink);
}

bool TraceEnabled() { return g_tracing.load(std::memory_order_relaxed); }

void Trace(const std::string &line)
{
    std::lock_guard<std::mutex> lock(g_traceLock);
    if (g_traceSink)
        g_traceSink(line);
}

}  // namespace winsim
