// Stop requests from signals (see interrupt.h).
#include "interrupt.h"

#include "exit_codes.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace tarvik::sim {

Interrupts::Interrupts()
{
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, &oldMask_);
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        pipe_[0] = pipe_[1] = -1;
    waiter_ = std::thread([this] { Wait(); });
}

Interrupts::~Interrupts()
{
    closing_ = true;
    pthread_kill(waiter_.native_handle(), SIGTERM);
    waiter_.join();
    for (int fd : pipe_)
        if (fd >= 0)
            close(fd);
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
}

void Interrupts::Wait()
{
    for (;;) {
        int signal = 0;
        if (sigwait(&set_, &signal) != 0 || closing_)
            return;
        if (signal_.exchange(signal) != 0) {
            // A second Ctrl-C: the user does not want to wait for a clean end.
            const char message[] = "\ntarvik-sim: stopped at once (second interrupt)\n";
            [[maybe_unused]] ssize_t n = write(STDERR_FILENO, message, sizeof message - 1);
            _exit(kExitInterrupted);
        }
        char byte = 1;
        [[maybe_unused]] ssize_t n = write(pipe_[1], &byte, 1);
    }
}

}  // namespace tarvik::sim
