// The current session: the one a test has made, or a default that stands in.
#include "session_state.h"

#include <cstdlib>

namespace winsim::win32 {
namespace {

std::mutex g_currentLock;
Session *g_current = nullptr;

// Stands in while no session is current: no user, nothing mapped but the
// machine's Windows folder.
SessionState &DefaultState()
{
    static SessionState state{SessionConfig{}};
    return state;
}

}  // namespace

Session::Session(SessionConfig config) : state_(std::make_unique<SessionState>(std::move(config)))
{
    std::lock_guard<std::mutex> guard(g_currentLock);
    previous_ = g_current;
    g_current = this;
}

Session::~Session()
{
    WaitForCommands();
    std::lock_guard<std::mutex> guard(g_currentLock);
    if (g_current == this)
        g_current = previous_;
    for (void *block : state_->localBlocks)
        std::free(block);
}

SessionState &Session::Current()
{
    {
        std::lock_guard<std::mutex> guard(g_currentLock);
        if (g_current != nullptr)
            return *g_current->state_;
    }
    return DefaultState();
}

const SessionConfig &Session::config() const { return state_->config; }

void Session::MapFolder(const std::string &windowsFolder, const std::filesystem::path &hostFolder)
{
    std::string folder = windowsFolder;
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->folders.push_back({folder, hostFolder});
}

void Session::AddProgram(const std::string &windowsPath, ProgramEntry entry)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->programs.emplace_back(windowsPath, std::move(entry));
}

void Session::AnswerMessageBoxes(MessageBoxUser user)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->user = std::move(user);
}

std::vector<MessageBoxShown> Session::MessageBoxes() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->boxes;
}

std::vector<WindowRecord> Session::Windows() const { return state_->desktop.Records(); }

size_t Session::OpenWindowCount() const { return state_->desktop.OpenWindowCount(); }

void Session::WaitForCommands()
{
    for (;;) {
        std::vector<std::thread> running;
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            running.swap(state_->running);
        }
        if (running.empty())
            return;
        // A command may start further commands; they are waited for too.
        for (auto &thread : running)
            thread.join();
    }
}

std::vector<StartedCommand> Session::StartedCommands() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->commands;
}

std::vector<RestartRequest> Session::RestartRequests() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->restarts;
}

std::vector<std::string> Session::EnabledPrivileges() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return {state_->enabledPrivileges.begin(), state_->enabledPrivileges.end()};
}

size_t Session::LiveLocalAllocations() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->localBlocks.size();
}

}  // namespace winsim::win32
