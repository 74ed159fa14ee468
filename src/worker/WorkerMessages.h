#pragma once
// The three messages through which workers report to the window.
//
// Every send is synchronous: the worker blocks until the receiver has handled
// the message on its own thread (the window's GUI thread, or the console's
// thread in sorvena-cli and the tests). A receiver that is closing answers at
// once with false, so that neither side can wait on the other at shutdown.
// A worker that has been asked to end tests that request just before each
// send and then sends nothing.

#include <cstdint>
#include <memory>
#include <string_view>

#include "metainfo/TorrentEx.h"

namespace sorvena {

inline constexpr int WM_USER = 1024;
inline constexpr int WM_SITE_DONE = WM_USER + 1;      // a search worker walked all its pages
inline constexpr int WM_TORRENT_FOUND = WM_USER + 2;  // a new torrent, handed over
inline constexpr int WM_PEER_COUNT = WM_USER + 3;     // a peer check ended

class TWorkerMessages {
public:
    virtual ~TWorkerMessages() = default;

    // WM_SITE_DONE: siteIndex 0..9. False when the receiver is closed.
    virtual bool SiteDone(int siteIndex) = 0;
    // WM_TORRENT_FOUND: the receiver takes the entry over; when it is closed
    // (false) the entry is destroyed.
    virtual bool TorrentFound(std::unique_ptr<TTorrentEx> entry) = 0;
    // WM_PEER_COUNT: the info hash text is valid only during the call.
    virtual bool PeerCount(std::string_view infoHashHex, int32_t count) = 0;
};

}  // namespace sorvena
