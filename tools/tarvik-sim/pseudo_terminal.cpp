// The pseudo-terminal (see pseudo_terminal.h).
#include "pseudo_terminal.h"

#include "pty_termios.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarvik::sim {
namespace {

std::string Errno(const std::string &what) { return what + ": " + strerror(errno); }

}  // namespace

PseudoTerminal::PseudoTerminal(const std::string &linkPath) : linkPath_(linkPath)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error_ = Errno("cannot create a pseudo-terminal");
        return;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error_ = Errno("cannot name the pseudo-terminal");
        return;
    }
    slaveName_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0 || !PrepareTerminal(slave_)) {
        error_ = Errno("cannot set up " + slaveName_);
        return;
    }
    int on = 1;
    if (ioctl(master_, TIOCPKT, &on) != 0) {
        error_ = Errno("cannot put the pseudo-terminal in packet mode");
        return;
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error_ = linkPath + " exists and is not a symbolic link; choose another --link path or remove it";
            return;
        }
        unlink(linkPath.c_str());
    }
    if (symlink(slaveName_.c_str(), linkPath.c_str()) != 0) {
        error_ = Errno("cannot create the link " + linkPath);
        return;
    }
    linked_ = true;
}

PseudoTerminal::~PseudoTerminal()
{
    if (linked_) {
        // Only our own link goes; somebody may have replaced it meanwhile.
        char target[256];
        ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == slaveName_)
            unlink(linkPath_.c_str());
    }
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

PseudoTerminal::Packet PseudoTerminal::Read(std::span<unsigned char> buffer)
{
    Packet packet;
    ssize_t n = read(master_, buffer.data(), buffer.size());
    if (n < 0)
        packet.kind = (errno == EAGAIN || errno == EINTR) ? Packet::Kind::Nothing : Packet::Kind::Closed;
    if (n <= 0)
        return packet;
    unsigned char control = buffer[0];
    if (control == TIOCPKT_DATA) {
        packet.kind = Packet::Kind::Data;
        packet.length = static_cast<size_t>(n - 1);
        memmove(buffer.data(), buffer.data() + 1, packet.length);
        return packet;
    }
    packet.kind = Packet::Kind::Control;
    packet.settingsChanged = (control & TIOCPKT_IOCTL) != 0;
    packet.flushedInput = (control & TIOCPKT_FLUSHREAD) != 0;
    packet.flushedOutput = (control & TIOCPKT_FLUSHWRITE) != 0;
    return packet;
}

bool PseudoTerminal::WriteAll(std::span<const unsigned char> data, int stopFd)
{
    while (!data.empty()) {
        ssize_t n = write(master_, data.data(), data.size());
        if (n > 0) {
            data = data.subspan(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        // The client is not reading: wait for room, or for the stop.
        pollfd fds[2] = {{master_, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents & POLLIN)
            return false;
    }
    return true;
}

std::optional<LineSettings> PseudoTerminal::Settings() const { return ReadTerminalSettings(slave_); }

}  // namespace tarvik::sim
