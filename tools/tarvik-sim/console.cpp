// The shared terminal (see console.h).
#include "console.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace tarvik::sim::console {
namespace {

std::mutex g_lock;
bool g_statusShown = false;  // a status line is on screen, without its newline

void ClearStatusLocked()
{
    if (g_statusShown) {
        fputs("\r\033[K", stdout);
        g_statusShown = false;
    }
}

}  // namespace

bool IsTerminal()
{
    static const bool terminal = isatty(STDOUT_FILENO) != 0;
    return terminal;
}

void Line(const std::string &text)
{
    std::lock_guard<std::mutex> lock(g_lock);
    ClearStatusLocked();
    fputs(text.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void Error(const std::string &text)
{
    std::lock_guard<std::mutex> lock(g_lock);
    ClearStatusLocked();
    fflush(stdout);
    fputs(text.c_str(), stderr);
    fputc('\n', stderr);
    fflush(stderr);
}

void Status(const std::string &text)
{
    if (!IsTerminal())
        return;
    std::lock_guard<std::mutex> lock(g_lock);
    fputs("\r\033[K", stdout);
    fputs(text.c_str(), stdout);
    fflush(stdout);
    g_statusShown = true;
}

void EndStatus()
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_statusShown) {
        fputc('\n', stdout);
        fflush(stdout);
        g_statusShown = false;
    }
}

}  // namespace tarvik::sim::console
