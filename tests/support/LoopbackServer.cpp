#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

namespace sorvena::test {

namespace {

constexpr int PollMs = 20;
constexpr size_t MaxHeadBytes = 65536;

// Socket timeouts make every blocking call come back often enough to see
// the stop flag.
void setSliceTimeouts(int fd)
{
    timeval slice{0, PollMs * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
}

bool retryable(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

std::shared_ptr<SSL_CTX> serverContext(const TlsIdentity& identity)
{
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx) return nullptr;
    std::unique_ptr<BIO, decltype(&BIO_free)> certs(
        BIO_new_mem_buf(identity.certificatePem.data(), static_cast<int>(identity.certificatePem.size())), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> key(
        BIO_new_mem_buf(identity.keyPem.data(), static_cast<int>(identity.keyPem.size())), BIO_free);
    X509* leaf = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr);
    if (!leaf || SSL_CTX_use_certificate(ctx.get(), leaf) != 1) {
        X509_free(leaf);
        return nullptr;
    }
    X509_free(leaf);
    while (X509* more = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr))
        SSL_CTX_add0_chain_cert(ctx.get(), more);
    ERR_clear_error();
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(key.get(), nullptr, nullptr, nullptr);
    const bool ok = pkey && SSL_CTX_use_PrivateKey(ctx.get(), pkey) == 1;
    EVP_PKEY_free(pkey);
    return ok ? ctx : nullptr;
}

}  // namespace

int BindLoopback(uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

ServerConnection::ServerConnection(int fd, SSL* ssl, const std::atomic<bool>& stop)
    : m_fd(fd), m_ssl(ssl), m_stop(stop)
{}

ServerConnection::~ServerConnection()
{
    if (m_ssl) {
        if (m_closeNotify) SSL_shutdown(m_ssl);
        SSL_free(m_ssl);
    }
    ::close(m_fd);
}

long ServerConnection::receive(char* buffer, size_t size)
{
    while (!m_stop) {
        if (!m_ssl) {
            const ssize_t got = ::recv(m_fd, buffer, size, 0);
            if (got >= 0) return got;
            if (!retryable(errno)) return -1;
            continue;
        }
        size_t got = 0;
        ERR_clear_error();
        const int result = SSL_read_ex(m_ssl, buffer, size, &got);
        if (result == 1) return static_cast<long>(got);
        const int code = SSL_get_error(m_ssl, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) continue;
        return code == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    return -1;
}

std::string ServerConnection::ReadHead()
{
    // The whole head first: closing with unread bytes would reset the
    // connection and could drop the reply.
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < MaxHeadBytes) {
        const long got = receive(buffer, sizeof buffer);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
    }
    return request;
}

bool ServerConnection::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        if (m_stop) return false;
        if (!m_ssl) {
            const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                bytes.remove_prefix(static_cast<size_t>(sent));
            } else if (sent < 0 && !retryable(errno)) {
                return false;
            }
            continue;
        }
        size_t sent = 0;
        ERR_clear_error();
        const int result = SSL_write_ex(m_ssl, bytes.data(), bytes.size(), &sent);
        if (result == 1) {
            bytes.remove_prefix(sent);
            continue;
        }
        const int code = SSL_get_error(m_ssl, result);
        if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) return false;
    }
    return true;
}

bool ServerConnection::Trickle(std::string_view bytes, std::chrono::milliseconds pause)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (!Send(bytes.substr(i, 1))) return false;
        // In short sleeps, so that a stopping server does not wait out a pause.
        constexpr std::chrono::milliseconds Step(5);
        for (auto waited = std::chrono::milliseconds::zero(); waited < pause && !m_stop; waited += Step)
            std::this_thread::sleep_for(Step);
    }
    return true;
}

void ServerConnection::Hold()
{
    char buffer[4096];
    while (receive(buffer, sizeof buffer) > 0) {
    }
}

std::string ServerConnection::ServerName() const
{
    const char* name = m_ssl ? SSL_get_servername(m_ssl, TLSEXT_NAMETYPE_host_name) : nullptr;
    return name ? name : "";
}

LoopbackServer::LoopbackServer(const char* address, const TlsIdentity* tls) : m_host(address)
{
    if (tls) {
        m_tls = serverContext(*tls);
        if (!m_tls) return;
    }
    const bool v6 = std::strchr(address, ':') != nullptr;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        if (::inet_pton(AF_INET6, address, &a->sin6_addr) != 1) return;
        length = sizeof *a;
        m_host = "[" + m_host + "]";
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        if (::inet_pton(AF_INET, address, &a->sin_addr) != 1) return;
        length = sizeof *a;
    }
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        ::close(fd);
        return;
    }
    m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    m_listenFd = fd;
}

LoopbackServer::~LoopbackServer()
{
    Stop();
    if (m_listenFd >= 0) ::close(m_listenFd);
}

void LoopbackServer::Start()
{
    if (m_listenFd >= 0 && !m_thread.joinable()) m_thread = std::thread([this] { run(); });
}

void LoopbackServer::Stop()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

std::string LoopbackServer::HostPort() const
{
    return m_host + ":" + std::to_string(m_port);
}

std::string LoopbackServer::Url(std::string_view path) const
{
    return (m_tls ? "https://" : "http://") + HostPort() + std::string(path);
}

void LoopbackServer::run()
{
    // A client that goes away while TLS writes to it must not raise SIGPIPE
    // for the whole test process: OpenSSL's socket writes use write(2). A
    // SIGPIPE a blocked thread causes stays pending on it and goes with it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    while (!m_stop) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, PollMs) <= 0) continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        setSliceTimeouts(fd);
        SSL* ssl = nullptr;
        if (m_tls) {
            ssl = SSL_new(m_tls.get());
            SSL_set_fd(ssl, fd);
            for (;;) {
                ERR_clear_error();
                const int result = SSL_accept(ssl);
                if (result == 1) break;
                const int code = SSL_get_error(ssl, result);
                if (m_stop || (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE)) {
                    // The client refused the certificate, or went away.
                    SSL_free(ssl);
                    ssl = nullptr;
                    break;
                }
            }
            if (!ssl) {
                ::close(fd);
                continue;
            }
        }
        ServerConnection connection(fd, ssl, m_stop);
        Serve(connection);
    }
}

}  // namespace sorvena::test
