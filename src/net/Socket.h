#pragma once
// Owns one POSIX socket descriptor and closes it on destruction. A failing
// close is traced (it cannot be reported further from a destructor). Move
// only; used by one thread at a time.

namespace sorvena {

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int Fd() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    void Close() noexcept;

private:
    int m_fd = -1;
};

}  // namespace sorvena
