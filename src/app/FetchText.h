#pragma once
// Why a fetch failed, in the few words the window shows ("connection
// refused", "HTTP status 404"). Pure; any thread.

#include <QString>

#include "net/IndyUtil.h"

namespace sorvena {

// status: the HTTP status of the last response, -1 when none arrived.
QString FetchFailureText(FetchError error, int status);

}  // namespace sorvena
