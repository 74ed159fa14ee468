#include "app/FetchText.h"

namespace sorvena {

QString FetchFailureText(FetchError error, int status)
{
    switch (error) {
    case FetchError::None: return QStringLiteral("no error");
    case FetchError::BadUrl: return QStringLiteral("bad address");
    case FetchError::NoTls: return QStringLiteral("https is not supported");
    case FetchError::Resolve: return QStringLiteral("name not resolved");
    case FetchError::Connect: return QStringLiteral("connection refused");
    case FetchError::Send:
    case FetchError::Receive: return QStringLiteral("connection failed");
    case FetchError::Closed: return QStringLiteral("connection closed early");
    case FetchError::Timeout: return QStringLiteral("timed out");
    case FetchError::Redirect: return QStringLiteral("redirected (HTTP status %1)").arg(status);
    case FetchError::HttpStatus: return QStringLiteral("HTTP status %1").arg(status);
    case FetchError::LineTooLong:
    case FetchError::HeaderTooLarge:
    case FetchError::BodyTooLarge:
    case FetchError::ChunkTooLarge: return QStringLiteral("reply too large");
    case FetchError::Stopped: return QStringLiteral("stopped");
    case FetchError::Internal: return QStringLiteral("out of memory");
    }
    return status >= 0 ? QStringLiteral("failed (HTTP status %1)").arg(status) : QStringLiteral("failed");
}

}  // namespace sorvena
