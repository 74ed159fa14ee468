#include "net/TlsStream.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace sorvena {

namespace {

// OpenSSL's own socket BIO writes with write(2): a peer that has gone away
// would raise SIGPIPE and end the program. This one sends with MSG_NOSIGNAL.
int bioWrite(BIO* bio, const char* data, int size)
{
    BIO_clear_retry_flags(bio);
    const auto fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    const ssize_t sent = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int bioRead(BIO* bio, char* data, int size)
{
    BIO_clear_retry_flags(bio);
    const auto fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    const ssize_t got = ::recv(fd, data, static_cast<size_t>(size), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
    return static_cast<int>(got);
}

long bioCtrl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* socketBioMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "sorvena socket");
        if (m) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioCtrl);
            BIO_meth_set_create(m, bioCreate);
        }
        return m;
    }();
    return method;
}

struct ContextDeleter {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using Context = std::shared_ptr<SSL_CTX>;

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? "=" + std::string(value) : std::string();
}

// One context for every attempt: loading the trust store costs milliseconds,
// a handshake less. It is made again when SSL_CERT_FILE or SSL_CERT_DIR has
// changed since, so that the variables work as OpenSSL documents at any time.
// Contexts are reference-counted: an attempt keeps its own alive.
Context clientContext()
{
    static std::mutex mutex;
    static Context cached;
    static std::string cachedKey;
    const std::string key = environment("SSL_CERT_FILE") + '\n' + environment("SSL_CERT_DIR");
    std::lock_guard lock(mutex);
    if (cached && key == cachedKey) return cached;

    Context ctx(SSL_CTX_new(TLS_client_method()), ContextDeleter{});
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    // A missing bundle or folder leaves the store empty, and every
    // verification then fails with its reason: nothing to report here.
    SSL_CTX_set_default_verify_paths(ctx.get());
    // Nothing survives an attempt, a TLS session included.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
    // Read whole socket buffers rather than a 5-byte record header and then
    // its body: half the system calls on a long body.
    SSL_CTX_set_read_ahead(ctx.get(), 1);
    SSL_CTX_set_default_read_buffer_len(ctx.get(), 64 * 1024);
    cached = ctx;
    cachedKey = key;
    return ctx;
}

bool isIpLiteral(const std::string& host)
{
    unsigned char address[16];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

std::string verifyReason(long code)
{
    switch (code) {
    case X509_V_ERR_CERT_HAS_EXPIRED: return "certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "certificate is not yet valid";
    case X509_V_ERR_HOSTNAME_MISMATCH: return "host name mismatch";
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return "IP address mismatch";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT: return "self-signed certificate";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN: return "certificate signed by an unknown authority";
    default: return X509_verify_cert_error_string(code);
    }
}

// The reason OpenSSL queued for the failure of the last call.
std::string queuedReason()
{
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
        return "the server closed the connection during the handshake";
    const char* text = error ? ERR_reason_error_string(error) : nullptr;
    return text ? text : "the server closed the connection during the handshake";
}

// True when a failed read means the peer closed the connection, with or
// without close_notify.
bool endOfStream(int code)
{
    if (code == SSL_ERROR_ZERO_RETURN) return true;
    const unsigned long error = ERR_peek_error();
    if (code == SSL_ERROR_SSL) return ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
    // A system call error without a queued reason and without errno is an
    // end of file, as OpenSSL 1.1 reported it.
    return code == SSL_ERROR_SYSCALL && error == 0 && errno == 0;
}

}  // namespace

TlsStream::TlsStream(const Socket& socket, const AttemptClock& clock, const std::stop_token& stop)
    : m_socket(socket), m_clock(clock), m_stop(stop)
{}

TlsStream::~TlsStream()
{
    // No close_notify: the response is read, the connection closes next,
    // and a reply to it would only be dropped.
    SSL_free(m_ssl);
}

Wait TlsStream::waitForRetry(int code, FetchClock::time_point until)
{
    if (code == SSL_ERROR_WANT_READ) return WaitSocket(m_socket.Fd(), POLLIN, until, m_stop);
    if (code == SSL_ERROR_WANT_WRITE) return WaitSocket(m_socket.Fd(), POLLOUT, until, m_stop);
    return Wait::Error;
}

FetchError TlsStream::Handshake(const std::string& host, std::string& reason)
{
    const Context ctx = clientContext();
    const BIO_METHOD* method = socketBioMethod();
    if (!ctx || !method) return FetchError::Internal;
    m_ssl = SSL_new(ctx.get());
    BIO* bio = BIO_new(method);
    if (!m_ssl || !bio) {
        BIO_free(bio);
        return FetchError::Internal;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(m_socket.Fd())));
    SSL_set_bio(m_ssl, bio, bio);  // the SSL owns the BIO from here

    // The certificate must name the host the URL names: its DNS name, or
    // its IP address for an IP literal (which RFC 6066 keeps out of SNI).
    bool named = false;
    if (isIpLiteral(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), host.c_str()) == 1;
    } else {
        SSL_set_hostflags(m_ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set1_host(m_ssl, host.c_str()) == 1 && SSL_set_tlsext_host_name(m_ssl, host.c_str()) == 1;
    }
    if (!named) {
        reason = "the host name cannot be checked";
        return FetchError::Tls;
    }
    SSL_set_connect_state(m_ssl);

    const FetchClock::time_point until = m_clock.ConnectUntil();
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_do_handshake(m_ssl);
        if (result == 1) return FetchError::None;
        const int code = SSL_get_error(m_ssl, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            switch (waitForRetry(code, until)) {
            case Wait::Ready: continue;
            case Wait::Stopped: return FetchError::Stopped;
            case Wait::Timeout:
                if (m_clock.Expired()) return FetchError::TooLong;
                reason = "no TLS handshake within " + LimitText(m_clock.ConnectLimit());
                return FetchError::Tls;
            case Wait::Error: return FetchError::Receive;
            }
        }
        const long verified = SSL_get_verify_result(m_ssl);
        reason = verified != X509_V_OK ? verifyReason(verified) : queuedReason();
        return FetchError::Tls;
    }
}

FetchError TlsStream::Send(std::string_view bytes)
{
    // A non-blocking write that could not finish is repeated with the same
    // arguments, as OpenSSL requires.
    for (;;) {
        if (m_clock.Expired()) return FetchError::TooLong;
        ERR_clear_error();
        size_t written = 0;
        const int result = SSL_write_ex(m_ssl, bytes.data(), bytes.size(), &written);
        if (result == 1) return FetchError::None;
        const int code = SSL_get_error(m_ssl, result);
        switch (waitForRetry(code, m_clock.ReadUntil(0))) {
        case Wait::Ready: continue;
        case Wait::Stopped: return FetchError::Stopped;
        case Wait::Timeout: return m_clock.Expired() ? FetchError::TooLong : FetchError::Send;
        case Wait::Error: return FetchError::Send;
        }
    }
}

IoStatus TlsStream::Receive(char* buffer, size_t size, size_t& received, int timeoutMs)
{
    for (;;) {
        if (m_stop.stop_requested()) return IoStatus::Stopped;
        if (m_clock.Expired()) return IoStatus::Expired;
        ERR_clear_error();
        errno = 0;
        size_t got = 0;
        const int result = SSL_read_ex(m_ssl, buffer, size, &got);
        if (result == 1) {
            received = got;
            return IoStatus::Ok;
        }
        const int code = SSL_get_error(m_ssl, result);
        if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE)
            return endOfStream(code) ? IoStatus::Eof : IoStatus::Error;
        switch (waitForRetry(code, m_clock.ReadUntil(timeoutMs))) {
        case Wait::Ready: break;
        case Wait::Timeout: return m_clock.Expired() ? IoStatus::Expired : IoStatus::Timeout;
        case Wait::Stopped: return IoStatus::Stopped;
        case Wait::Error: return IoStatus::Error;
        }
    }
}

}  // namespace sorvena
