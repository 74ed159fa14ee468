#pragma once
// Byte strings of the core shown in the window, and window text handed back
// to the core. Pure functions; any thread.

#include <QString>

#include <string>
#include <string_view>

namespace sorvena {

// UTF-8 when the bytes are valid UTF-8, otherwise Latin-1 (every byte one
// character), so that no byte string shows replacement characters.
QString BytesToQString(std::string_view bytes);

// What the user typed, as the core's byte string: UTF-8.
std::string QStringToBytes(const QString& text);

}  // namespace sorvena
