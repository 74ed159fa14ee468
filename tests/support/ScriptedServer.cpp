#include "support/ScriptedServer.h"

#include <dirent.h>

#include <algorithm>

namespace sorvena::test {

ScriptedServer::ScriptedServer(std::vector<ScriptedReply> replies, const char* address, const TlsIdentity* tls)
    : LoopbackServer(address, tls), m_replies(std::move(replies))
{
    if (m_replies.empty()) m_replies.push_back({});
    Start();
}

ScriptedServer::~ScriptedServer()
{
    Stop();
}

std::vector<std::string> ScriptedServer::Requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<ScriptedServer::Clock::time_point> ScriptedServer::AcceptTimes() const
{
    std::lock_guard lock(m_mutex);
    return m_acceptTimes;
}

std::vector<std::string> ScriptedServer::ServerNames() const
{
    std::lock_guard lock(m_mutex);
    return m_serverNames;
}

void ScriptedServer::Serve(ServerConnection& connection)
{
    const ScriptedReply& reply = m_replies[std::min(m_next++, m_replies.size() - 1)];
    {
        std::lock_guard lock(m_mutex);
        m_acceptTimes.push_back(Clock::now());
        m_serverNames.push_back(connection.ServerName());
    }
    if (reply.silent) {
        connection.Hold();
        return;
    }
    const std::string request = connection.ReadHead();
    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
    }
    if (!reply.closeNotify) connection.SkipCloseNotify();
    const bool sent = reply.trickle.count() > 0 ? connection.Trickle(reply.bytes, reply.trickle)
                                                : connection.Send(reply.bytes);
    if (!sent) return;
    const std::string filler(std::min<size_t>(reply.fillerBytes, 1 << 20), 'x');
    for (size_t left = reply.fillerBytes; left > 0;) {
        const size_t n = std::min(left, filler.size());
        if (!connection.Send(std::string_view(filler.data(), n))) return;
        left -= n;
    }
    if (reply.hold) connection.Hold();
}

int OpenFdCount()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
    }
    return count;
}

}  // namespace sorvena::test
